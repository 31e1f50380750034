"""The zero-copy pixel view, copies, and images made from arrays of any layout."""
import gc
import pickle

import numpy as np
import pytest

import bmpfun


def gradient(height, width, channels):
    y, x, c = np.indices((height, width, channels))
    return ((x * 7 + y * 13 + c * 50) % 256).astype(np.uint8)


def test_writes_through_the_view_reach_the_next_operation(card):
    image = bmpfun.load(card)
    view = image.pixels
    assert view.shape == (61, 97, 4) and view.dtype == np.uint8 and view.flags.writeable
    view[10:20, 30:40] = (0, 0, 0, 255)
    crop = image.crop(30, 10, 10, 10)
    assert (crop.to_array() == (0, 0, 0, 255)).all()
    image.brightness(2.0)  # in place: the same view sees it
    assert (view[10:20, 30:40] == (0, 0, 0, 255)).all()
    assert (view == image.to_array()).all()


def test_the_view_stays_the_images_memory_across_every_in_place_operation(card):
    image = bmpfun.load(card)
    view = image.pixels
    for op, arg in [("edge_detect", ()), ("blur", (3,)), ("floyd_steinberg_dither", (2,))]:
        getattr(image, op)(*arg)
        assert np.shares_memory(view, image.pixels)
        assert (view == image.to_array()).all(), op


def test_the_view_outlives_a_deleted_image(card):
    image = bmpfun.load(card)
    expected = image.to_array()
    view = image.pixels
    del image
    gc.collect()
    assert (view == expected).all()
    view[:] = 7  # still the image's own storage, kept alive by the view
    assert view.base is not None and (view == 7).all()


def test_to_array_and_copy_are_independent(card):
    image = bmpfun.load(card)
    array, twin = image.to_array(), image.copy()
    image.pixels[:] = 1
    assert not np.shares_memory(array, image.pixels)
    assert (array != 1).any() and (twin.pixels != 1).any()


@pytest.mark.parametrize("layout", [
    lambda a: a,                               # C-contiguous
    lambda a: np.asfortranarray(a),            # Fortran order
    lambda a: a[::-1, ::2],                    # reversed rows, every other column
    lambda a: a.transpose(1, 0, 2),            # columns become rows
    lambda a: a[:, :, ::-1],                   # channels in reverse: stride -1
], ids=["c", "fortran", "strided", "transposed", "reversed-channels"])
@pytest.mark.parametrize("channels", [3, 4])
def test_from_array_reads_any_layout(layout, channels):
    source = layout(gradient(23, 31, channels))
    image = bmpfun.Image.from_array(source)
    assert (image.height, image.width) == source.shape[:2]
    out = image.to_array()
    assert (out[:, :, :3] == source[:, :, :3]).all()
    assert (out[:, :, 3] == (source[:, :, 3] if channels == 4 else 0)).all()


def test_from_array_of_rgb_matches_the_24_bit_file(card):
    loaded = bmpfun.load(card)
    rebuilt = bmpfun.Image.from_array(loaded.to_array()[:, :, :3])
    assert (rebuilt.to_array() == loaded.to_array()).all()
    assert rebuilt.fun(1).to_bytes() == loaded.fun(1).to_bytes()


@pytest.mark.parametrize("array", [
    np.zeros((4, 4, 4), np.uint16),
    np.zeros((4, 4, 4), np.float32),
    np.zeros((4, 4), np.uint8),
    np.zeros((4, 4, 2), np.uint8),
    np.zeros((0, 4, 4), np.uint8),
], ids=["uint16", "float", "2-d", "2-channel", "empty"])
def test_from_array_refuses_what_is_not_an_image(array):
    with pytest.raises(ValueError):
        bmpfun.Image.from_array(array)


def test_pickled_images_come_back_whole(card):
    image = bmpfun.load(card, max_pixels=10**6, threads=0)
    image.pixels[:, :, 3] = 77
    image.sampling = bmpfun.GAUSSIAN
    back = pickle.loads(pickle.dumps(image))
    assert (back.to_array() == image.to_array()).all()
    assert (back.sampling, back.max_pixels, back.threads) == (2, 10**6, 0)
    with pytest.raises(ValueError):
        bmpfun._restore((2, 2, 0, 100, 1, False, b"short"))


def test_no_image_without_a_factory():
    # An instance with no C++ image behind it would read stray memory.
    with pytest.raises(TypeError, match="no constructor"):
        bmpfun.Image()
    with pytest.raises(TypeError):
        bmpfun.Image.__new__(bmpfun.Image)


def test_create_and_properties():
    image = bmpfun.Image.create(5, 3, threads=0)
    assert (image.width, image.height, image.shape, image.threads) == (5, 3, (3, 5, 4), 0)
    assert (image.pixels == (255, 255, 255, 0)).all()
    assert image.sample(10, 10) == (255, 255, 255, 255)
    image.sampling = bmpfun.BILINEAR
    assert image.sampling == 1 and image.fun(0).sampling == 0
