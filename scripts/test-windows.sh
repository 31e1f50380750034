#!/usr/bin/env bash
# The Windows build: cross-compiled with Debian's mingw-w64 (posix threads), tested under Wine.
# Builds the tree once (library, bmpfun.exe, bmpfun.dll and the tests), runs through ctest
# every reference case through bmpfun.exe, the unit tests that need no POSIX call, the
# platform's own tests, a C host that loads bmpfun.dll, Ctrl-C during a save, and the DLL's
# export and import tables; then makes the zip with CPack, unpacks it, and builds and runs
# the C example against the unpacked package alone.
#   bash scripts/test-windows.sh          (scripts/test.sh calls it)
# BMPFUN_WINDOWS_BUILD names the build folder (default build/windows), BMPFUN_TESTDATA the
# shared test material.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
started=$SECONDS
bash scripts/setup-windows.sh
jobs=$(nproc)
build=$(realpath -m "${BMPFUN_WINDOWS_BUILD:-build/windows}")
testdata=${BMPFUN_TESTDATA:-$root/../shared/testdata}

echo "== windows: mingw-w64 build"
# -O2 without debug information: what CI needs, in half the compile time of RelWithDebInfo.
cmake --preset windows -B "$build" \
  -DBMPFUN_TESTDATA="$testdata" >/dev/null
wine=$(sed -n 's/^BMPFUN_WINE:FILEPATH=//p' "$build/CMakeCache.txt")
wineserver=$(dirname "$wine")/wineserver
[ -x "$wineserver" ] || wineserver=$(command -v wineserver)

# Wine's prefix lives in the build folder. One server stays up for every program the tests
# start and goes at the end; started first and detached from this script's output, so that no
# test's output pipe is held open by a server one of its programs would otherwise start. The
# prefix's first start (about 10 s) runs while the tree builds.
export WINEPREFIX="$build/wine-prefix" WINEDEBUG=-all
mkdir -p "$WINEPREFIX"
"$wineserver" -p </dev/null >/dev/null 2>&1
trap '"$wineserver" -k 2>/dev/null || true' EXIT
"$wine" wineboot -i >/dev/null 2>&1 &
booting=$!
cmake --build "$build" -j"$jobs"
wait "$booting"

echo "== windows: tests under Wine"
ctest --test-dir "$build" -j"$jobs" --output-on-failure --no-tests=error

echo "== windows: the zip"
(cd "$build" && cpack -G ZIP >/dev/null)
zip=$(ls "$build"/bmpfun-*-win64.zip)
unpacked="$build/zip-check"
rm -rf "$unpacked" && mkdir -p "$unpacked"
(cd "$unpacked" && cmake -E tar xf "$zip")
package=$(ls -d "$unpacked"/bmpfun-*-win64)
for f in bin/bmpfun.exe bin/bmpfun.dll lib/libbmpfun.dll.a lib/libbmpfun-core.a include/bmpfun/bmpfun.h \
         include/bmpfun/image.hpp lib/cmake/bmpfun/bmpfunConfig.cmake README.txt; do
  [ -f "$package/$f" ] || { echo "the zip lacks $f"; exit 1; }
done
# The package alone: the C example linked with its import library next to its DLL, the C++
# demo against its static library, and its program.
golden=$testdata/golden
x86_64-w64-mingw32-gcc-posix -std=c11 -Wall -Wextra -Werror -I"$package/include" examples/c_linked.c \
  -L"$package/lib" -lbmpfun -o "$unpacked/c_linked.exe"
x86_64-w64-mingw32-g++-posix -std=c++20 -Wall -Wextra -Werror -static -I"$package/include" examples/cpp_demo.cpp \
  "$package/lib/libbmpfun-core.a" -o "$unpacked/cpp_demo.exe"
cp "$package/bin/bmpfun.dll" "$unpacked/"
"$wine" "$unpacked/c_linked.exe" "$golden/fun-01/in.bmp" "$unpacked/linked.bmp" 0 | tr -d '\r' | grep -qx "BMPFun returned 999"
cmp "$unpacked/linked.bmp" "$golden/fun-01/expected.bmp"
"$wine" "$unpacked/cpp_demo.exe" "$golden/fun-02/in.bmp" "$unpacked/demo.bmp" 2 >/dev/null
"$wine" "$package/bin/bmpfun.exe" apply "$golden/fun-02/in.bmp" "$unpacked/demo-cli.bmp" sampling=1 fun=2 saturation=1.5 \
  2>/dev/null  # (the input is cut short on purpose: a warning)
cmp "$unpacked/demo.bmp" "$unpacked/demo-cli.bmp"
echo "windows: $(basename "$zip") holds a working package; $((SECONDS - started)) s in all"
