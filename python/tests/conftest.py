"""Shared helpers: the command-line program the module must agree with, and inputs it draws."""
import os
import subprocess
import sys

import pytest

CLI = os.environ.get("BMPFUN_CLI", "bmpfun")
SOURCE_DIR = os.environ.get("BMPFUN_SOURCE_DIR", os.path.join(os.path.dirname(__file__), "..", ".."))
DASK_EXAMPLE = os.path.join(SOURCE_DIR, "examples", "dask_batch.py")
# The shared reference cases (golden/): CMake passes its BMPFUN_TESTDATA.
GOLDEN = os.path.join(os.environ.get("BMPFUN_TESTDATA", os.path.join(SOURCE_DIR, "..", "shared", "testdata")),
                      "golden")


def cli(*args):
    """Run the command-line program; fail the test with its stderr when it fails."""
    done = subprocess.run([CLI, *map(str, args)], capture_output=True, text=True)
    assert done.returncode == 0, f"bmpfun {' '.join(map(str, args))}: {done.stderr}"
    return done.stdout


def draw_card(path, width, height):
    cli("testcard", path, width, height)
    return path


def python(code, **kwargs):
    """Run code in a fresh interpreter (the one running the tests) with the same module."""
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, **kwargs)


@pytest.fixture(scope="session")
def card(tmp_path_factory):
    """A 97 x 61 test card: odd sides reach the edge cases of the warps and dithers."""
    return draw_card(tmp_path_factory.mktemp("card") / "card.bmp", 97, 61)
