"""Each failure raises its own exception type with the library's text, and prints nothing."""
import os
import pathlib
import shutil
import struct
import tempfile
import textwrap
import warnings

import numpy as np
import pytest

import bmpfun
from conftest import cli, python


@pytest.fixture
def files(tmp_path, card):
    (tmp_path / "folder").mkdir()
    (tmp_path / "text.bmp").write_bytes(b"hello, this is not an image" * 4)
    (tmp_path / "short.bmp").write_bytes(card.read_bytes()[:30])
    cli("convert", card, tmp_path / "card8.bmp", 8)
    data = (tmp_path / "card8.bmp").read_bytes()
    # biBitCount sits at byte 28, biCompression at 30.
    (tmp_path / "depth7.bmp").write_bytes(data[:28] + struct.pack("<H", 7) + data[30:])
    (tmp_path / "rle8.bmp").write_bytes(data[:30] + struct.pack("<I", 1) + data[34:])
    (tmp_path / "cut.bmp").write_bytes(data[:len(data) - 97 * 5])
    return tmp_path


@pytest.mark.parametrize("name, exception, text", [
    ("missing.bmp", FileNotFoundError, r"^\[Errno 2\] No such file or directory: '.*missing.bmp'$"),
    ("folder", IsADirectoryError, "Is a directory"),
    ("text.bmp", bmpfun.Error, "not a BMP file"),
    ("short.bmp", bmpfun.Error, r"the headers are cut short \(30 bytes; they need 54\)"),
    ("depth7.bmp", bmpfun.Error, "7 bits per pixel is not supported$"),
    ("rle8.bmp", bmpfun.Error, r"RLE8 compression is not supported \(read it with extended=True\)"),
])
def test_load_failures(files, capfd, name, exception, text):
    with pytest.raises(exception, match=text) as caught:
        bmpfun.load(files / name)
    if isinstance(caught.value, OSError):  # as the interpreter's own open() gives them
        assert caught.value.filename == str(files / name)
        assert caught.value.strerror == os.strerror(caught.value.errno)
    if exception is bmpfun.Error:  # refused content is refused as bytes too
        assert isinstance(caught.value, ValueError)
        with pytest.raises(bmpfun.Error):
            bmpfun.load((files / name).read_bytes())
    assert capfd.readouterr() == ("", "")


@pytest.mark.parametrize("content, text", [
    (b"hello, this is not an image" * 4, "not a BMP file"),
    (b"MB" + bytes(52), "not a BMP file"),
    (b"B", "the headers are cut short"),  # too short to tell
    (b"", "the headers are cut short"),
])
def test_info_refuses_what_does_not_start_with_bm(tmp_path, content, text):
    (tmp_path / "f.bmp").write_bytes(content)
    for source in (tmp_path / "f.bmp", content):
        with pytest.raises(bmpfun.Error, match=text):
            bmpfun.info(source)


@pytest.mark.parametrize("call", [
    bmpfun.load, bmpfun.info, lambda p: bmpfun.Image.create(2, 2).save(pathlib.Path(p)),
], ids=["load", "info", "save"])
def test_a_path_with_a_nul_raises_value_error(files, call):
    # Cut at the NUL, the path would name card8.bmp.
    with pytest.raises(ValueError, match="embedded null byte"):
        call(str(files / "card8.bmp") + "\0.bmp")
    assert (files / "card8.bmp").read_bytes()[:2] == b"BM"


def test_max_pixels_refuses_the_file(files):
    assert bmpfun.load(files / "card8.bmp", max_pixels=97 * 61).width == 97
    with pytest.raises(bmpfun.Error, match="97 x 61 pixels passes the limit of 5916 pixels"):
        bmpfun.load(files / "card8.bmp", max_pixels=97 * 61 - 1)


def test_a_file_cut_short_loads_with_a_warning(files):
    with pytest.warns(bmpfun.TruncatedFileWarning, match="56 of 61 rows arrived"):
        image = bmpfun.load(files / "cut.bmp")
    assert (image.width, image.height) == (97, 61)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with pytest.raises(bmpfun.TruncatedFileWarning):
            bmpfun.load((files / "cut.bmp").read_bytes())


@pytest.mark.parametrize("cut, warned", [
    (0, [bmpfun.LayoutWarning]),
    (97 * 3 * 5, [bmpfun.LayoutWarning, bmpfun.TruncatedFileWarning]),
])
def test_the_default_layout_fallback_warns_apart_from_a_cut(files, cut, warned):
    cli("convert", files / "card8.bmp", files / "card24.bmp", 24)
    data = bytearray((files / "card24.bmp").read_bytes())
    data[14] = 12  # an OS/2 1.x size over fields that read well as the 40-byte header
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        assert bmpfun.load(bytes(data[:len(data) - cut]), extended=True).height == 61
    assert [w.category for w in caught] == warned
    assert "default reader's layout" in str(caught[0].message)
    assert not issubclass(bmpfun.LayoutWarning, bmpfun.TruncatedFileWarning)


def test_unreadable_and_unwritable_paths_raise_permission_error(card):
    # Root passes every permission check, so the check runs as an unprivileged user then, in a
    # folder that user can reach (pytest's own are private to their owner).
    folder = pathlib.Path(tempfile.mkdtemp())
    (folder / "locked.bmp").write_bytes(card.read_bytes())
    os.chmod(folder / "locked.bmp", 0)
    (folder / "theirs.bmp").write_bytes(b"")  # a file the user may write...
    os.chmod(folder / "theirs.bmp", 0o666)
    os.chmod(folder, 0o555)  # ...in a folder where no temporary file can be made
    code = textwrap.dedent(f"""
        import bmpfun
        for call in (lambda: bmpfun.load({str(folder / 'locked.bmp')!r}),
                     lambda: bmpfun.info({str(folder / 'locked.bmp')!r}),
                     lambda: bmpfun.Image.create(2, 2).save({str(folder / 'new.bmp')!r}),
                     lambda: bmpfun.Image.create(2, 2).save({str(folder / 'theirs.bmp')!r})):
            try:
                call()
            except PermissionError as e:
                print("PermissionError", e.errno, e.filename)
    """)
    drop = (lambda: os.setuid(65534)) if os.geteuid() == 0 else None
    try:
        done = python(code, preexec_fn=drop)
        assert done.stdout.count("PermissionError 13") == 4, done.stdout + done.stderr
        assert (folder / "theirs.bmp").read_bytes() == b""
    finally:
        os.chmod(folder, 0o700)
        shutil.rmtree(folder)


@pytest.mark.parametrize("target, exception, errno", [
    ("no/such/folder/out.bmp", FileNotFoundError, 2),
    ("folder", IsADirectoryError, 21),
    ("/dev/full", OSError, 28),  # a full disk
])
def test_save_failures(files, target, exception, errno):
    with pytest.raises(exception) as caught:
        bmpfun.Image.create(4, 4).save(files / target)
    assert (caught.value.errno, caught.value.strerror) == (errno, os.strerror(errno))


@pytest.mark.parametrize("call, text", [
    (lambda i: i.fun(3), "no effect with that number"),
    (lambda i: i.crop(90, 0, 10, 10), "does not lie inside"),
    (lambda i: i.crop(0, 0, 0, 10), "below 1 x 1"),
    (lambda i: i.scale(0.001, 1), "below 1 x 1"),
    (lambda i: i.scale(float("nan"), 1), "below 1 x 1"),
    (lambda i: i.scale(1e6, 1e6), "pixel limit"),
    (lambda i: bmpfun.Image.from_array(np.full((2, 2, 4), 255, np.uint8)).rotate(10), "no non-white"),
    (lambda i: bmpfun.Image.create(0, 5), "below 1 x 1"),
    (lambda i: bmpfun.Image.create(100, 100, max_pixels=9999), "pixel limit"),
    (lambda i: i.blur(2**31), "32-bit"),
    (lambda i: bmpfun.load(b"", threads=-1), "threads"),
    (lambda i: bmpfun.Image.create(2, 2, threads=-1), "threads"),
    (lambda i: bmpfun.Image.from_array(np.zeros((2, 2, 4), np.uint8), threads=-1), "threads"),
    (lambda i: bmpfun.Image.from_array(np.zeros((2, 2, 4), np.int8)), "uint8"),
], ids=["effect", "outside", "empty-crop", "tiny-scale", "nan-scale", "huge-scale", "blank-rotate",
        "zero-size", "max-pixels", "int32", "threads", "create-threads", "array-threads", "dtype"])
def test_bad_arguments_raise_value_error(card, call, text):
    image = bmpfun.load(card)
    with pytest.raises(ValueError, match=text) as caught:
        call(image)
    assert not isinstance(caught.value, bmpfun.Error)


def test_wrong_source_types_raise_type_error():
    for source in (12, None, ["a.bmp"]):
        with pytest.raises(TypeError):
            bmpfun.load(source)
    with pytest.raises(TypeError):
        bmpfun.Image.create(2, 2).save(b"out.bmp")


def test_memory_that_cannot_be_had_raises_memory_error():
    # A 1 GiB address-space limit leaves no room for a 30000 x 30000 image (3.6 GB).
    code = textwrap.dedent("""
        import resource, bmpfun
        resource.setrlimit(resource.RLIMIT_AS, (1 << 30, 1 << 30))
        try:
            bmpfun.Image.create(30000, 30000, max_pixels=2**31)
        except MemoryError as e:
            print("MemoryError:", e)
    """)
    done = python(code)
    assert "MemoryError: create: the pixels could not be allocated" in done.stdout, done.stderr
