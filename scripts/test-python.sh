#!/usr/bin/env bash
# The Python module's tests: install the Debian packages, build with the module on, run the
# pytest suite through CTest, then the README's install command in a fresh virtual
# environment and an offline wheel build, each checked by a warp through the module.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
bash scripts/setup-python.sh
jobs=$(nproc)
python=/usr/bin/python3   # Debian's interpreter: the one whose NumPy, pytest and Dask are installed
started=$SECONDS

echo "== python: build with BMPFUN_BUILD_PYTHON=ON, run the pytest suite through ctest"
cmake -S . -B build/python -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBMPFUN_BUILD_TESTS=ON \
  -DBMPFUN_BUILD_PYTHON=ON -DPython3_EXECUTABLE="$python" >/dev/null
cmake --build build/python -j"$jobs" --target bmpfun bmpfun_python
ctest --test-dir build/python -R '^python\.' -j"$jobs" --output-on-failure --no-tests=error

echo "== python: the README's install command, then a warp through the installed module"
install_command=$(grep -m1 '^bash scripts/setup-python.sh && ' README.md)
rm -rf .venv
bash -c "$install_command"
check=$(mktemp -d)
trap 'rm -rf "$check"' EXIT
build/python/bmpfun testcard "$check/card.bmp" >/dev/null
build/python/bmpfun fun "$check/card.bmp" "$check/cli.bmp" 1
(cd "$check" && "$root/.venv/bin/python" -c \
  "import bmpfun; bmpfun.load('card.bmp').fun(1).save('py.bmp')")
cmp "$check/cli.bmp" "$check/py.bmp"

echo "== python: an offline wheel, installed into a second environment"
rm -rf build/python-dist "$check/venv"
"$python" -m build --no-isolation --wheel --outdir build/python-dist . >/dev/null
"$python" -m venv --system-site-packages "$check/venv"
"$check/venv/bin/pip" install --no-index --quiet build/python-dist/bmpfun-*.whl
(cd "$check" && "$check/venv/bin/python" -c \
  "import bmpfun; bmpfun.load('card.bmp').fun(1).save('wheel.bmp')")
cmp "$check/cli.bmp" "$check/wheel.bmp"
echo "python: all passed in $((SECONDS - started)) s"
