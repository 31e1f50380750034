"""The Image methods are the library's operation registry, bmpfun.operations(): one per entry,
with its argument names and types, documented by its summary, and calling what the chain calls."""
import inspect
import re

import bmpfun
from conftest import cli

# The members of Image that are not operations.
NOT_OPERATIONS = {"create", "from_array", "from_pil", "width", "height", "shape", "max_pixels", "threads", "pixels",
                  "to_array", "to_pil", "copy", "save", "to_bytes", "sample", "apply"}


def signature(method):
    """pybind11's first docstring line, 'blur(self: ..., mask_size: int) -> None', as
    ([(name, type), ...], the returned type)."""
    first = getattr(bmpfun.Image, method).__doc__.splitlines()[0]
    params, returns = re.fullmatch(rf"{method}\(self: [\w.]+((?:, \w+: \w+)*)\) -> ([\w.]+)", first).groups()
    return re.findall(r", (\w+): (\w+)", params), returns


def test_every_entry_is_a_method_with_its_arguments_and_no_other_operation_exists():
    ops = bmpfun.operations()
    public = {n for n in dir(bmpfun.Image) if not n.startswith("_")}
    assert public - NOT_OPERATIONS == {op.method for op in ops}
    for op in ops:
        assert op.method == op.name.replace("-", "_")
        if op.method == "sampling":  # the property
            assert isinstance(inspect.getattr_static(bmpfun.Image, "sampling"), property)
            continue
        params, returns = signature(op.method)
        assert params == [(a.name, a.type) for a in op.arguments], op.name
        assert returns == ("bmpfun._bmpfun.Image" if op.makes_new_image else "None"), op.name


def test_docstrings_start_with_the_registry_summary():
    for op in bmpfun.operations():
        doc = inspect.getattr_static(bmpfun.Image, op.method).__doc__
        if op.method != "sampling":
            doc = doc.split("\n\n", 1)[1]  # after pybind11's signature line
        assert doc.startswith(op.summary), op.name


def test_keyword_calls_with_the_registry_starts_give_the_chain_bytes(card, tmp_path):
    measure = {"column": 0, "row": 0, "width": 97, "height": 61}  # crop: the whole card
    for op in bmpfun.operations():
        if op.draws_random_numbers:  # test_matches_cli runs those in a fresh process
            continue
        values = {a.name: measure[a.extent] if a.extent else a.start for a in op.arguments}
        token = op.name + ("=" + ",".join(map(str, values.values())) if values else "")
        cli("apply", card, tmp_path / "cli.bmp", "sampling=1", token)
        image = bmpfun.load(card)
        image.sampling = 1
        result = getattr(image, op.method)(**values) if op.method != "sampling" else None
        assert (result is not None) == op.makes_new_image, token
        assert (result or image).to_bytes() == (tmp_path / "cli.bmp").read_bytes(), token
