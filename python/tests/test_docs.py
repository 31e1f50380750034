"""docs/python.md: its worked example runs as written and does what its comments and the program
say, and its operations table is the registry's."""
import contextlib
import io
import os
import re
import subprocess
import sys

import numpy as np
from PIL import Image as PILImage

from conftest import SOURCE_DIR, cli

PAGE = os.path.join(SOURCE_DIR, "docs", "python.md")
TOOL = os.path.join(SOURCE_DIR, "python", "tools", "operations_reference.py")


def worked_example():
    page = open(PAGE).read()
    section = page[page.index("## A worked example"):]
    return re.search(r"```python\n(.*?)```", section, re.S).group(1)


def test_the_worked_example_runs_and_its_comments_hold(tmp_path, monkeypatch):
    code = worked_example()
    # Each print's comment is what it prints.
    expected = [m.group(1) for m in re.finditer(r"^print\(.*\)\s+# (.*)$", code, re.M)]
    assert len(expected) >= 4
    cli("testcard", tmp_path / "card.bmp")
    monkeypatch.chdir(tmp_path)
    out = io.StringIO()
    with contextlib.redirect_stdout(out):
        exec(compile(code, "docs/python.md", "exec"), {})
    assert out.getvalue().splitlines() == expected
    # The files are the program's.
    cli("apply", "card.bmp", "cli.bmp", "sampling=1", "fun=1", "blur=3")
    assert (tmp_path / "disc.bmp").read_bytes() == (tmp_path / "cli.bmp").read_bytes()
    for bits, name in [(8, "disc8.bmp"), ("32a", "disc32a.bmp")]:
        cli("convert", "cli.bmp", f"cli{bits}.bmp", bits)
        assert (tmp_path / name).read_bytes() == (tmp_path / f"cli{bits}.bmp").read_bytes(), name
    with PILImage.open("card.png") as shown, PILImage.open("card.bmp") as card:
        assert np.array_equal(np.asarray(shown), np.asarray(card.convert("RGB")))


def test_the_operations_table_is_the_registrys():
    done = subprocess.run([sys.executable, TOOL, "--check", PAGE], capture_output=True, text=True)
    assert done.returncode == 0, done.stderr


def test_the_table_check_notices_a_stale_row(tmp_path):
    stale = tmp_path / "python.md"
    stale.write_text(open(PAGE).read().replace("| `blur(mask_size)` |", "| `blur(size)` |"))
    done = subprocess.run([sys.executable, TOOL, "--check", stale], capture_output=True, text=True)
    assert done.returncode == 1 and "--write" in done.stderr
    subprocess.run([sys.executable, TOOL, "--write", stale], check=True)
    assert stale.read_text() == open(PAGE).read()
