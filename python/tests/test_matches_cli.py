"""Every operation group gives the bytes `bmpfun apply` writes for the same chain."""
import os
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


def test_info_gives_the_cli_fields(card, tmp_path):
    for depth in (1, 8, 16, 32):
        path = tmp_path / f"card{depth}.bmp"
        cli("convert", card, path, depth)
        expected = {k: int(v) for k, v in
                    (line.split(": ") for line in cli("info", path).splitlines())}
        assert bmpfun.info(path) == expected
        assert bmpfun.info(path.read_bytes()) == expected
        assert list(bmpfun.info(path)) == list(expected)  # file order
