"""save and to_bytes at every depth the program writes, file objects in and out, the sampling
enum and the repr."""
import io
import pickle

import numpy as np
import pytest

import bmpfun
from conftest import GOLDEN, cli

DEPTHS = [1, 4, 8, 16, 24, 32, "32a"]


@pytest.mark.parametrize("extended", [False, True], ids=["default-reader", "extended-reader"])
@pytest.mark.parametrize("bits", DEPTHS)
def test_save_at_a_depth_is_apply_then_convert(card, tmp_path, bits, extended):
    # The odd-sized card after a warp, so every row is padded and the colours are many.
    flag = ["--extended"] if extended else []
    cli(*flag, "apply", card, tmp_path / "cli24.bmp", "sampling=1", "fun=0")
    cli(*flag, "convert", tmp_path / "cli24.bmp", tmp_path / "cli.bmp", bits)
    expected = (tmp_path / "cli.bmp").read_bytes()
    image = bmpfun.load(card, extended=extended).apply("sampling=1 fun=0")
    assert image.to_bytes(bits) == expected
    image.save(tmp_path / "py.bmp", bits=bits)
    assert (tmp_path / "py.bmp").read_bytes() == expected
    out = io.BytesIO()
    image.save(out, bits)
    assert out.getvalue() == expected


@pytest.mark.parametrize("bits", [8, 32, "32a"])
def test_save_at_a_depth_keeps_the_files_resolution(tmp_path, bits):
    # This input's header says 2835 x 3780 pixels per metre; the stored alpha is not written.
    source = f"{GOLDEN}/chain-04/in.bmp"
    cli("apply", source, tmp_path / "cli24.bmp", "blur=0")  # blur=0 changes nothing
    cli("convert", tmp_path / "cli24.bmp", tmp_path / "cli.bmp", bits)
    image = bmpfun.load(source)
    image.pixels[:, :, 3] = 99
    assert image.to_bytes(bits) == (tmp_path / "cli.bmp").read_bytes()


@pytest.mark.parametrize("bits, error, match", [
    (2, ValueError, r'bits must be 1, 4, 8, 16, 24, 32 or "32a", not 2'),
    (0, ValueError, "not 0"),
    ("32", ValueError, "not '32'"),
    ("24a", ValueError, "not '24a'"),
    (True, TypeError, "not bool"),
    (8.0, TypeError, "not float"),
    (None, TypeError, "not NoneType"),
])
def test_depths_the_program_does_not_write_are_refused(tmp_path, bits, error, match):
    image = bmpfun.Image.create(2, 2)
    with pytest.raises(error, match=match):
        image.to_bytes(bits)
    with pytest.raises(error, match=match):
        image.save(tmp_path / "x.bmp", bits=bits)
    assert not (tmp_path / "x.bmp").exists()


@pytest.mark.parametrize("opener", [
    lambda path: io.BytesIO(path.read_bytes()),
    lambda path: open(path, "rb"),
    lambda path: io.BufferedReader(io.BytesIO(path.read_bytes())),
], ids=["BytesIO", "file", "buffered"])
def test_load_and_info_read_file_objects(card, opener):
    expected = bmpfun.load(card)
    with opener(card) as f:
        assert bmpfun.load(f).to_bytes() == expected.to_bytes()
    with opener(card) as f:
        assert bmpfun.info(f) == bmpfun.info(card)


def test_a_file_object_is_read_from_its_position(card):
    data = card.read_bytes()
    f = io.BytesIO(b"junk" + data)
    f.seek(4)
    assert bmpfun.load(f).to_bytes() == bmpfun.load(data).to_bytes()


class Text:
    def read(self):
        return "BM"


class Numbers:
    def read(self):
        return 42


@pytest.mark.parametrize("source, match", [
    (Text(), "binary mode"),
    (Numbers(), "read\\(\\) gave int"),
    (42, "a file object with read\\(\\), not int"),
    ([b"BM"], "not list"),
])
def test_load_refuses_what_gives_no_bytes(source, match):
    with pytest.raises(TypeError, match=match):
        bmpfun.load(source)


@pytest.mark.parametrize("target, match", [
    (b"out.bmp", "not bytes"),
    (42, "not int"),
    (io.StringIO(), "string argument expected"),  # the file object's own refusal
])
def test_save_refuses_what_takes_no_bytes(target, match):
    with pytest.raises(TypeError, match=match):
        bmpfun.Image.create(2, 2).save(target)


@pytest.mark.parametrize("value, expected, name", [
    (0, bmpfun.Sampling.POINT, "POINT"),
    (1, bmpfun.Sampling.BILINEAR, "BILINEAR"),
    (bmpfun.GAUSSIAN, bmpfun.Sampling.GAUSSIAN, "GAUSSIAN"),
    (7, 7, "7"),
    (-1, -1, "-1"),
])
def test_sampling_is_the_enum_when_it_names_one(value, expected, name):
    image = bmpfun.Image.create(320, 240, threads=0)
    image.sampling = value
    got = image.sampling
    assert got == expected and type(got) is type(expected)
    assert repr(image) == f"<bmpfun.Image 320 x 240, sampling {name}, threads 0>"


def test_sampling_enum_is_the_registrys_names():
    names = dict({o.name: o for o in bmpfun.operations()}["sampling"].values)
    assert {m.value: m.name.lower() for m in bmpfun.Sampling} == names
    assert bmpfun.POINT is bmpfun.Sampling.POINT and bmpfun.BILINEAR == 1


def test_pickle_keeps_what_a_save_writes():
    # The resolution is part of the file: an image moved to another process saves the same.
    source = f"{GOLDEN}/chain-08/in.bmp"  # -1573 x -1 pixels per metre
    image = bmpfun.load(source)
    back = pickle.loads(pickle.dumps(image))
    assert back.to_bytes() == image.to_bytes() and back.to_bytes(8) == image.to_bytes(8)
    old = bmpfun._restore((2, 1, 0, 100, 1, False, bytes(8)))  # pickled before resolutions
    assert (old.pixels == 0).all() and old.to_bytes()[38:46] == (3780).to_bytes(4, "little") * 2
    assert np.array_equal(back.pixels, image.pixels)
