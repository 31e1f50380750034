#!/usr/bin/env bash
# The web tests: build the library to WebAssembly, run every reference case through the
# WebAssembly program under node, pack the JavaScript package and install the tarball offline
# into an empty folder, hold the installed package to the reference cases and the page's use of
# it to the native program (and 630 warps, rotates and scales byte for byte), check its types
# with tsc, then drive the page in headless Chromium.
#
#   bash scripts/test-web.sh          both halves below
#   bash scripts/test-web.sh --build  the WebAssembly build only (build/wasm)
#   bash scripts/test-web.sh --test   the tests only, over builds that are made already: the
#                                     WebAssembly one and the native program and golden_test
#                                     in build/release (scripts/test.sh runs the halves apart,
#                                     the build while the native build compiles)
# Without --test, the native program and golden_test are built in build/release if needed.
# BMPFUN_WEB_SCREENSHOT=FILE puts the browser test's screenshot there
# (docs/images/web-playground.png is the README's).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
build=1
test=1
case "${1:-}" in
  "") ;;
  --build) test=0 ;;
  --test) build=0 ;;
  *) echo "usage: bash scripts/test-web.sh [--build | --test]" >&2; exit 2 ;;
esac
testdata=${BMPFUN_TESTDATA:-$root/../shared/testdata}
jobs=$(nproc)
step_name=""
step_started=$SECONDS
step() {  # announce a step; say how long the one before took
  [ -z "$step_name" ] || echo "== web: $step_name took $((SECONDS - step_started)) s"
  step_name=$1
  step_started=$SECONDS
  [ "$1" = "done" ] || echo "== web: $1"
}

step "packages"
bash scripts/setup-web.sh

export NODE_PATH=/usr/share/nodejs  # emscripten's tools find their modules there
if [ $build = 1 ]; then
  step "WebAssembly build (emscripten $(em++ --version | head -1 | sed 's/.* \([0-9][0-9.]*\) .*/\1/'))"
  emcmake cmake -S . -B build/wasm -DCMAKE_BUILD_TYPE=Release -DBMPFUN_BUILD_TESTS=OFF >/dev/null
  cmake --build build/wasm -j"$jobs"
fi
if [ $test = 0 ]; then
  step "done"
  exit 0
fi

if [ $build = 1 ]; then
  step "native program and reference test"
  if [ ! -f build/release/CMakeCache.txt ]; then
    cmake -S . -B build/release -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBMPFUN_BUILD_TESTS=ON -DBMPFUN_TESTDATA="$testdata" >/dev/null
  fi
  cmake --build build/release -j"$jobs" --target bmpfun bmpfun_operations_doc golden_test
fi
for made in build/wasm/bmpfun-node build/wasm/package/bmpfun-wasm.wasm build/wasm/site/index.html build/release/bmpfun build/release/bmpfun_operations_doc build/release/tests/golden_test; do
  [ -e "$made" ] || { echo "test-web: $made is missing (bash scripts/test-web.sh builds it)" >&2; exit 1; }
done

step "reference cases through the WebAssembly program under node"
BMPFUN_CLI="$root/build/wasm/bmpfun-node" build/release/tests/golden_test --gtest_brief=1

step "puppeteer-core and typescript from the lock file"
(cd web && PUPPETEER_SKIP_DOWNLOAD=1 npm ci --no-audit --no-fund --loglevel=error)

step "the package: npm pack, then npm install --offline of the tarball into an empty folder"
version=$(node -p 'require("./build/wasm/package/package.json").version')
rm -f build/wasm/bmpfun-*.tgz
npm pack ./build/wasm/package --pack-destination build/wasm --loglevel=error >/dev/null
installed=$(mktemp -d "${TMPDIR:-/tmp}/bmpfun-installed-XXXXXX")
trap 'rm -rf "$installed"' EXIT
(cd "$installed" && npm install --offline --no-audit --no-fund --loglevel=error "$root/build/wasm/bmpfun-$version.tgz")

step "the package and the page's use of it against the native program, then the page in Chromium"
BMPFUN_NATIVE_CLI="$root/build/release/bmpfun" BMPFUN_TESTDATA="$testdata" BMPFUN_INSTALLED="$installed" \
  node --test tests/web/package_test.js tests/web/session_test.js tests/web/stress_test.js tests/web/browser_test.js

step "done"
package=build/wasm/package
echo "web: package $(du -b $package/bmpfun-wasm.wasm | cut -f1) bytes of .wasm, $(cat $package/*.js | wc -c) of .js" \
  "($(gzip -9c $package/bmpfun-wasm.wasm | wc -c) + $(cat $package/*.js | gzip -9c | wc -c) gzipped)," \
  "tarball $(du -b "build/wasm/bmpfun-$version.tgz" | cut -f1) bytes"
