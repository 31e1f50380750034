"""image.apply(chain) against the program: the reference cases' apply chains byte for byte,
the image it is called on left alone, and the library's words for a chain that does not parse."""
import csv
import json
import os
import subprocess
import warnings

import pytest

import bmpfun
from conftest import CLI, GOLDEN, python

RANDOM = {o.name for o in bmpfun.operations() if o.draws_random_numbers}


def apply_cases():
    with open(os.path.join(GOLDEN, "cases.tsv"), newline="") as f:
        rows = list(csv.DictReader(f, delimiter="\t"))
    cases = []
    for row in rows:
        args = json.loads(row["args"])
        if args[0] == "apply":
            ops = args[3:]
            random = any(op.split("=")[0] in RANDOM for op in ops)
            cases.append(pytest.param(row["case"], int(row["exit"]), " ".join(ops), random, id=row["case"]))
    return cases


CASES = apply_cases()


def test_the_reference_cases_hold_apply_chains():
    assert len(CASES) >= 70


def run_case(case, chain):
    """What apply gives for the case: the saved bytes, or the exception's type name."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", bmpfun.TruncatedFileWarning)
        try:
            image = bmpfun.load(os.path.join(GOLDEN, case, "in.bmp"))
            before = image.to_array()
            result = image.apply(chain)
        except (ValueError, MemoryError) as e:
            return type(e).__name__
    assert (image.to_array() == before).all(), "apply changed the image it was called on"
    assert result is not image
    return result.to_bytes()


@pytest.mark.parametrize("case, exit, chain, random", CASES)
def test_apply_gives_the_reference_bytes(case, exit, chain, random, tmp_path):
    if random:
        # rand() is the process's: a fresh interpreter starts it where `bmpfun apply` does.
        out = tmp_path / "py.bmp"
        code = (f"import bmpfun, warnings; warnings.simplefilter('ignore')\n"
                f"bmpfun.load({os.path.join(GOLDEN, case, 'in.bmp')!r}).apply({chain!r}).save({str(out)!r})")
        done = python(code)
        got = out.read_bytes() if done.returncode == 0 else done.stderr
    else:
        got = run_case(case, chain)
    if exit == 0:
        expected = open(os.path.join(GOLDEN, case, "expected.bmp"), "rb").read()
        assert got == expected
    else:
        assert isinstance(got, str) and ("ValueError" in got or "MemoryError" in got), got


@pytest.mark.parametrize("chain", [
    "",
    "   ",
    "blur",
    "blur=x",
    "edge-detect=1",
    "crop=1,2",
    "no-such-op=1",
    "fun=99999999999",
    "sampling=1 fun=1 blur=",
])
def test_a_chain_that_does_not_parse_raises_the_programs_reason(card, chain):
    done = subprocess.run([CLI, "apply", str(card), os.devnull, *chain.split()], capture_output=True, text=True)
    image = bmpfun.load(card)
    with pytest.raises(ValueError) as caught:
        image.apply(chain)
    if chain.split():  # the program's usage error: "bmpfun: apply: REASON"
        assert done.returncode == 2
        assert f"bmpfun: apply: {caught.value}" in done.stderr
    else:
        assert "holds no operation" in str(caught.value)


@pytest.mark.parametrize("chain, failing_step", [
    ("blur=3 fun=3", "fun=3"),
    ("crop=90,0,20,20", "crop=90,0,20,20"),
    ("sampling=1 scale=0.001,1", "scale=0.001,1"),
])
def test_a_failing_step_names_itself_and_changes_nothing(card, chain, failing_step):
    image = bmpfun.load(card)
    before = image.to_bytes()
    with pytest.raises(ValueError, match=f"^{failing_step}: "):
        image.apply(chain)
    assert image.to_bytes() == before


@pytest.mark.parametrize("chain", [["blur=3"], b"blur=3", 3, None])
def test_apply_takes_one_str(card, chain):
    with pytest.raises(TypeError, match="one str"):
        bmpfun.load(card).apply(chain)


def test_apply_keeps_sampling_and_limits(card):
    image = bmpfun.load(card, threads=0, max_pixels=10**6)
    image.sampling = bmpfun.BILINEAR
    out = image.apply("blur=3")
    assert (out.sampling, out.threads, out.max_pixels) == (bmpfun.BILINEAR, 0, 10**6)
    assert image.apply("sampling=2").sampling == bmpfun.GAUSSIAN and image.sampling == bmpfun.BILINEAR
    # the image's own sampling carries into the chain: the same as sampling=1 written first
    assert image.apply("rotate=30").to_bytes() == bmpfun.load(card).apply("sampling=1 rotate=30").to_bytes()
