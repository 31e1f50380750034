"""Every operation group gives the bytes `bmpfun apply` writes for the same chain."""
import os
import struct
import sys

import pytest

import bmpfun
from conftest import SOURCE_DIR, cli, python

sys.path.insert(0, os.path.join(SOURCE_DIR, "examples"))
from dask_batch import apply_ops, parse_op  # noqa: E402  the example's own op table

CHAINS = [
    ("adjustments", ["brightness=1.3", "contrast=0.7", "saturation=1.8", "quantize=5"]),
    ("channel", ["extract-channel=1"]),
    ("ordered", ["ordered-dither=2"]),
    ("floyd-steinberg", ["floyd-steinberg-dither=1"]),
    ("blur+sharpen", ["blur=5", "sharpen=3"]),
    ("edges", ["edge-detect"]),
    ("fun0 bilinear", ["sampling=1", "fun=0"]),
    ("fun1 gaussian", ["sampling=2", "fun=1"]),
    ("fun2", ["fun=2"]),
    ("mosaic", ["mosaic=7"]),
    ("crop+scale", ["crop=5,3,40,30", "sampling=1", "scale=1.7,0.6"]),
    ("rotate", ["sampling=1", "rotate=33"]),
    ("auto-crop", ["mosaic=9", "auto-crop"]),
]


@pytest.mark.parametrize("ops", [c[1] for c in CHAINS], ids=[c[0] for c in CHAINS])
def test_chain_matches_cli(card, tmp_path, ops):
    expected = tmp_path / "cli.bmp"
    cli("apply", card, expected, *ops)
    image = apply_ops(bmpfun.load(card), [parse_op(t) for t in ops])
    assert image.to_bytes() == expected.read_bytes()
    image.save(tmp_path / "py.bmp")
    assert (tmp_path / "py.bmp").read_bytes() == expected.read_bytes()


def test_random_operations_match_cli_in_a_fresh_process(card, tmp_path):
    # Both draw from the C library's unseeded rand(), so each starts a process of its own.
    ops = ["noise=0.6", "random-dither=3"]
    cli("apply", card, tmp_path / "cli.bmp", *ops)
    code = (f"import bmpfun; i = bmpfun.load({str(card)!r}); i.noise(0.6); i.random_dither(3); "
            f"i.save({str(tmp_path / 'py.bmp')!r})")
    assert python(code).returncode == 0
    assert (tmp_path / "py.bmp").read_bytes() == (tmp_path / "cli.bmp").read_bytes()


def test_bytes_in_and_out_match_the_files(card, tmp_path):
    data = card.read_bytes()
    assert bmpfun.load(data).to_bytes() == bmpfun.load(card).to_bytes()
    assert bmpfun.load(bytearray(data)).width == 97
    assert bmpfun.load(memoryview(data)).height == 61


def cli_info(*args):
    """`bmpfun info`'s lines as a dict, the values as Python's info gives them."""
    fields = (line.split(": ", 1) for line in cli(*args).splitlines())
    return {k: v if k == "header" else int(v.split()[0], 0) for k, v in fields}


@pytest.mark.parametrize("depth, extended", [
    (1, False), (8, False), (16, False), (32, False),
    ("32a", False),  # a V5 header: without extended only its first 40 bytes' fields
    ("32a", True), (8, True),
    ("os2", False),  # an OS/2 1.x header gives its own fields either way
    ("os2", True),
])
def test_info_gives_the_cli_fields(card, tmp_path, depth, extended):
    path = tmp_path / f"card{depth}.bmp"
    if depth == "os2":  # 12-byte header, 24 bits: width, height, planes, depth as 16-bit fields
        data = bytearray(card.read_bytes())
        path.write_bytes(data[:14] + struct.pack("<IHHHH", 12, 97, 61, 1, 24) + data[54:])
    else:
        cli("convert", card, path, depth)
    expected = cli_info(*(["--extended"] if extended else []), "info", path)
    assert ("header" in expected) == (extended or depth == "os2")
    assert bmpfun.info(path, extended=extended) == expected
    assert bmpfun.info(path.read_bytes(), extended=extended) == expected
    assert list(bmpfun.info(path, extended=extended)) == list(expected)  # file order
