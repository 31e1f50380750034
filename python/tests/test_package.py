"""What ships: one exported symbol, type stubs that name what the module has, docstrings."""
import ast
import inspect
import os
import shutil
import subprocess

import pytest

import bmpfun
import bmpfun._bmpfun as extension

PACKAGE = os.path.dirname(bmpfun.__file__)


@pytest.mark.skipif(shutil.which("nm") is None, reason="needs nm (binutils)")
def test_the_extension_exports_only_its_init_function():
    listing = subprocess.run(["nm", "-D", "--defined-only", extension.__file__],
                             capture_output=True, text=True, check=True).stdout
    assert [line.split()[-1] for line in listing.splitlines()] == ["PyInit__bmpfun"]


def stub_names():
    tree = ast.parse(open(os.path.join(PACKAGE, "__init__.pyi")).read())
    top, methods = set(), set()
    for node in tree.body:
        if isinstance(node, ast.ClassDef) and node.name == "Image":
            methods = {n.name for n in node.body if isinstance(n, ast.FunctionDef)}
        elif isinstance(node, (ast.FunctionDef, ast.ClassDef)):
            top.add(node.name)
        elif isinstance(node, ast.AnnAssign):
            top.add(node.target.id)
    return top | {"Image"}, methods


def test_stubs_and_module_name_the_same_things():
    assert os.path.exists(os.path.join(PACKAGE, "py.typed"))
    top, methods = stub_names()
    assert top == set(bmpfun.__all__)
    public = {n for n in dir(bmpfun.Image) if not n.startswith("_")}
    assert public == {n for n in methods if not n.startswith("_")}
    for name in public:  # and every one of them is documented
        member = inspect.getattr_static(bmpfun.Image, name)
        assert (member.__doc__ or "").strip(), name
