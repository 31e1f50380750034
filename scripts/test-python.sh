#!/usr/bin/env bash
# The Python module's tests. The module is built once, in the release build (the `release`
# preset turns BMPFUN_BUILD_PYTHON on), where CTest runs the pytest suite; the package is then
# made from that build's module, with no second build of the library: the README's install
# command into a fresh virtual environment .venv, and an offline wheel into a second one, each
# checked by a warp through the module that must equal the program's.
#   bash scripts/test-python.sh            install the packages, configure and build the release
#                                          preset's program and module, run the pytest suite
#                                          through ctest, then the package checks
#   bash scripts/test-python.sh --package  the package checks only, over a release build that
#                                          is made already (scripts/test.sh, whose release tests
#                                          include the pytest suite)
# The package takes the module from the build named by BMPFUN_PYTHON_BUILD_DIR (setup.py);
# without that variable, as on a user's machine, setup.py builds the library itself.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
python=/usr/bin/python3   # Debian's interpreter: the one whose NumPy, pytest and Dask are installed
build=$root/build/release
started=$SECONDS
case "${1:-}" in
  "") package_only=0 ;;
  --package) package_only=1 ;;
  *) echo "usage: bash scripts/test-python.sh [--package]" >&2; exit 2 ;;
esac
bash scripts/setup-python.sh

if [ $package_only = 0 ]; then
  bash scripts/setup.sh  # the release preset builds the tests and benchmarks too
  echo "== python: the release preset's program and module, the pytest suite through ctest"
  cmake --preset release -DPython3_EXECUTABLE="$python" >/dev/null
  cmake --build --preset release -j"$(nproc)" --target bmpfun bmpfun_python
  ctest --preset release -R '^python\.' -j"$(nproc)"
fi
for made in "$build/bmpfun" "$build"/python/stage/bmpfun/_bmpfun*.so; do
  [ -e "$made" ] || { echo "test-python: $made is missing (bash scripts/test-python.sh builds it)" >&2; exit 1; }
done
export BMPFUN_PYTHON_BUILD_DIR=$build

echo "== python: the README's install command, then a warp through the installed module"
install_command=$(grep -m1 '^bash scripts/setup-python.sh && ' README.md)
rm -rf .venv
bash -c "$install_command"
check=$(mktemp -d)
trap 'rm -rf "$check"' EXIT
"$build/bmpfun" testcard "$check/card.bmp" >/dev/null
"$build/bmpfun" fun "$check/card.bmp" "$check/cli.bmp" 1
(cd "$check" && "$root/.venv/bin/python" -c \
  "import bmpfun; bmpfun.load('card.bmp').fun(1).save('py.bmp')")
cmp "$check/cli.bmp" "$check/py.bmp"

echo "== python: an offline wheel, installed into a second environment"
rm -rf build/python-dist
"$python" -m build --no-isolation --wheel --outdir build/python-dist . >/dev/null
"$python" -m venv --system-site-packages "$check/venv"
"$check/venv/bin/pip" install --no-index --quiet build/python-dist/bmpfun-*.whl
(cd "$check" && "$check/venv/bin/python" -c \
  "import bmpfun; bmpfun.load('card.bmp').fun(1).save('wheel.bmp')")
cmp "$check/cli.bmp" "$check/wheel.bmp"
echo "python: all passed in $((SECONDS - started)) s"
