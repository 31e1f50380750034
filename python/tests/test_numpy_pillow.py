"""NumPy's array protocol, the explicit alpha of to_array / from_array, and Pillow both ways."""
import numpy as np
import pytest
from PIL import Image as PILImage

import bmpfun
from conftest import cli, python


@pytest.fixture
def image(card):
    """The card with alpha bytes that differ from pixel to pixel (a 24-bit file has 0)."""
    image = bmpfun.load(card)
    image.pixels[:, :, 3] = np.arange(image.width, dtype=np.uint8)
    return image


def test_asarray_is_a_read_only_rgb_view_of_the_storage(image):
    view = np.asarray(image)
    assert view.shape == (61, 97, 3) and view.dtype == np.uint8
    assert np.shares_memory(view, image.pixels) and not view.flags.writeable
    assert (view == image.pixels[:, :, :3]).all()
    image.brightness(1.5)  # in place: the view follows
    assert (view == image.pixels[:, :, :3]).all()
    with pytest.raises(ValueError, match="read-only"):
        view[0, 0] = 0


@pytest.mark.parametrize("make, writeable, dtype", [
    (np.array, True, np.uint8),                                  # np.array copies
    (lambda i: np.asarray(i, dtype=np.float32), True, np.float32),
    (lambda i: i.__array__(copy=True), True, np.uint8),          # NumPy 2 asks this way
    (lambda i: i.__array__(copy=False), False, np.uint8),
], ids=["array", "asarray-float", "copy-true", "copy-false"])
def test_array_protocol_copies_when_asked(image, make, writeable, dtype):
    out = make(image)
    assert out.dtype == dtype and out.flags.writeable == writeable
    assert np.shares_memory(out, image.pixels) == (not writeable)
    assert (out == image.pixels[:, :, :3]).all()


def test_pillow_shows_the_array_as_it_shows_the_programs_24_bit_file(card, tmp_path):
    # A 24-bit file loads with alpha 0: an RGBA array would show nothing, the RGB one the card.
    cli("convert", card, tmp_path / "cli24.bmp", 24)
    shown = PILImage.fromarray(np.asarray(bmpfun.load(card)))
    with PILImage.open(tmp_path / "cli24.bmp") as expected:
        assert shown.mode == expected.mode == "RGB"
        assert (np.asarray(shown) == np.asarray(expected)).all()
    assert (bmpfun.load(card).pixels[:, :, 3] == 0).all()


@pytest.mark.parametrize("mode, alpha, channels, expected_alpha", [
    ("RGBA", "stored", 4, "stored"),
    ("RGBA", "opaque", 4, 255),
    ("RGB", "stored", 3, None),
])
def test_to_array_modes(image, mode, alpha, channels, expected_alpha):
    out = image.to_array(mode, alpha=alpha)
    assert out.shape == (61, 97, channels) and out.flags.c_contiguous
    assert not np.shares_memory(out, image.pixels)
    assert (out[:, :, :3] == image.pixels[:, :, :3]).all()
    if expected_alpha == "stored":
        assert (out[:, :, 3] == image.pixels[:, :, 3]).all()
    elif expected_alpha is not None:
        assert (out[:, :, 3] == expected_alpha).all()
    assert (image.to_array() == image.pixels).all()  # the default is the exact RGBA copy


@pytest.mark.parametrize("kwargs, match", [
    ({"mode": "RGBX"}, "mode must be"),
    ({"mode": "rgb"}, "mode must be"),
    ({"alpha": "none"}, "alpha must be"),
    ({"mode": "RGB", "alpha": "opaque"}, "is for mode 'RGBA'"),
])
def test_to_array_refuses_unknown_choices(image, kwargs, match):
    with pytest.raises(ValueError, match=match):
        image.to_array(**kwargs)


@pytest.mark.parametrize("channels, alpha, expected", [
    (3, None, 0),          # what a 24-bit file loads with
    (3, 255, 255),
    (3, 17, 17),
    (4, None, "own"),
    (4, 255, ValueError),  # a 4-channel array has its own alpha
    (3, 256, ValueError),
    (3, -1, ValueError),
])
def test_from_array_alpha(channels, alpha, expected):
    array = np.full((2, 3, channels), 9, np.uint8)
    if channels == 4:
        array[:, :, 3] = 77
    if expected is ValueError:
        with pytest.raises(ValueError, match="alpha"):
            bmpfun.Image.from_array(array, alpha=alpha)
        return
    out = bmpfun.Image.from_array(array, alpha=alpha).pixels
    assert (out[:, :, :3] == 9).all()
    assert (out[:, :, 3] == (77 if expected == "own" else expected)).all()


@pytest.mark.parametrize("given, error, match", [
    ([[[1, 2, 3]]], TypeError, "takes a NumPy array of uint8.*not list"),
    (((1, 2, 3),), TypeError, "not tuple"),
    ("abc", TypeError, "not str"),
    (None, TypeError, "not NoneType"),
    (np.zeros((2, 2, 3), np.int64), ValueError, "dtype uint8, not int64"),
    (np.zeros((2, 2, 5), np.uint8), ValueError, "height x width x 3"),
])
def test_from_array_names_what_it_wants(given, error, match):
    with pytest.raises(error, match=match):
        bmpfun.Image.from_array(given)


def test_from_array_takes_what_numpy_reads_without_guessing(image):
    # A memoryview of a uint8 array (the buffer protocol) and an Image (__array__: r, g, b).
    array = np.arange(2 * 3 * 4, dtype=np.uint8).reshape(2, 3, 4)
    assert (bmpfun.Image.from_array(memoryview(array)).pixels == array).all()
    again = bmpfun.Image.from_array(image)
    assert (again.pixels[:, :, :3] == image.pixels[:, :, :3]).all() and (again.pixels[:, :, 3] == 0).all()


@pytest.mark.parametrize("mode, alpha, pil_mode, expected_alpha", [
    ("RGB", "stored", "RGB", None),
    ("RGBA", "stored", "RGBA", "stored"),
    ("RGBA", "opaque", "RGBA", 255),
])
def test_to_pil(image, mode, alpha, pil_mode, expected_alpha):
    out = image.to_pil(mode, alpha=alpha)
    assert out.mode == pil_mode and out.size == (97, 61)
    array = np.asarray(out)
    assert (array[:, :, :3] == image.pixels[:, :, :3]).all()
    if expected_alpha == "stored":
        assert (array[:, :, 3] == image.pixels[:, :, 3]).all()
    elif expected_alpha is not None:
        assert (array[:, :, 3] == expected_alpha).all()


def pil_image(mode):
    """A 5 x 4 Pillow image of (10, 20, 30) in mode; with alpha, opacity 0, 60, ... by column.
    "P+transparency": a palette whose entry 0 (black, at (0, 0)) is transparent."""
    if mode == "P+transparency":
        image = PILImage.new("P", (5, 4), 1)
        image.putpalette([0, 0, 0, 10, 20, 30] + [0] * 762)
        image.putpixel((0, 0), 0)
        image.info["transparency"] = 0
        return image
    opacity = np.tile(np.arange(5, dtype=np.uint8) * 60, (4, 1))
    rgba = PILImage.fromarray(np.dstack([np.full((4, 5), v, np.uint8) for v in (10, 20, 30)] + [opacity]), "RGBA")
    return rgba if mode == "RGBA" else rgba.convert(mode)


@pytest.mark.parametrize("mode, alpha, expected_rgb, expected_alpha", [
    ("RGB", None, (10, 20, 30), 0),             # as a 24-bit file loads
    ("RGB", 255, (10, 20, 30), 255),
    ("RGBA", None, (10, 20, 30), "ramp"),       # opacity kept as the alpha byte
    ("L", None, "L", 0),
    ("LA", None, "L", "ramp"),
    ("P+transparency", None, (10, 20, 30), "first"),
])
def test_from_pil(mode, alpha, expected_rgb, expected_alpha):
    source = pil_image(mode)
    for made in (bmpfun.from_pil(source, alpha=alpha), bmpfun.Image.from_pil(source, alpha=alpha)):
        pixels = made.pixels
        assert pixels.shape == (4, 5, 4)
        if expected_rgb == "L":
            grey = np.asarray(source.convert("L"))
            assert all((pixels[:, :, c] == grey).all() for c in range(3))
        elif expected_alpha == "first":
            assert tuple(pixels[1, 1, :3]) == expected_rgb
        else:
            assert (pixels[:, :, :3] == expected_rgb).all()
        if expected_alpha == "ramp":
            assert (pixels[:, :, 3] == np.arange(5) * 60).all()
        elif expected_alpha == "first":
            assert pixels[0, 0, 3] == 0 and pixels[1, 1, 3] == 255
        else:
            assert (pixels[:, :, 3] == expected_alpha).all()


def test_pil_round_trip_keeps_the_picture(image):
    back = bmpfun.from_pil(image.to_pil())
    assert back.to_bytes() == image.to_bytes()
    with pytest.raises(TypeError, match="PIL.Image.Image"):
        bmpfun.from_pil(np.zeros((2, 2, 3), np.uint8))


def test_without_pillow_the_conversions_say_what_they_need(tmp_path):
    code = ("import sys; sys.modules['PIL'] = None\n"
            "import bmpfun\n"
            "image = bmpfun.Image.create(2, 2)\n"
            "for call in (image.to_pil, lambda: bmpfun.from_pil(None)):\n"
            "    try:\n"
            "        call()\n"
            "    except ImportError as e:\n"
            "        print(e)\n")
    done = python(code)
    assert done.returncode == 0, done.stderr
    lines = done.stdout.splitlines()
    assert len(lines) == 2 and all("needs Pillow" in line and "python3-pil" in line for line in lines)
