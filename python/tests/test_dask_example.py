"""examples/dask_batch.py on a local cluster of two worker processes writes what the command
line writes, and reports the file it could not read."""
import os
import subprocess
import sys

from conftest import DASK_EXAMPLE, cli, draw_card

OPS = ["sampling=1", "fun=1", "floyd-steinberg-dither=2", "crop=4,4,30,30"]


def test_forty_files_on_two_workers_match_the_command_line(tmp_path):
    inputs, outputs, expected = tmp_path / "in", tmp_path / "out", tmp_path / "expected"
    for folder in (inputs, expected):
        folder.mkdir()
    names = [f"card{k:02}.bmp" for k in range(40)]
    for k, name in enumerate(names):
        draw_card(inputs / name, 24 + k, 20 + (k * 7) % 23)
        cli("apply", inputs / name, expected / name, *OPS)
    (inputs / "broken.bmp").write_bytes(b"BM and nothing else")
    (inputs / "notes.txt").write_text("not a BMP file name: left alone")

    done = subprocess.run([sys.executable, DASK_EXAMPLE, inputs, outputs, *OPS, "--workers", "2"],
                          capture_output=True, text=True, timeout=600)
    assert done.returncode == 1, done.stderr
    assert "41 files: 40 written, 1 failed" in done.stdout
    assert "broken.bmp: Error:" in done.stderr
    assert sorted(os.listdir(outputs)) == names
    for name in names:
        assert (outputs / name).read_bytes() == (expected / name).read_bytes(), name


def test_usage_errors_exit_2_before_any_work(tmp_path):
    for ops in (["fun"], ["blur=1,2"], ["twirl=3"]):
        done = subprocess.run([sys.executable, DASK_EXAMPLE, tmp_path, tmp_path / "out", *ops, "--serial"],
                              capture_output=True, text=True)
        assert done.returncode == 2, (ops, done.stderr)
        assert not (tmp_path / "out").exists()
