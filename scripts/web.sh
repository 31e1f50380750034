#!/usr/bin/env bash
# Build the web page (the library compiled to WebAssembly) and serve it on this machine:
#   bash scripts/web.sh [PORT]      (default 8000; Ctrl-C stops the server)
# The page is static: build/wasm/site/ can be copied to any web server as it is.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
port=${1:-8000}
bash scripts/setup-web.sh --build-only
export NODE_PATH=/usr/share/nodejs  # emscripten's tools find their modules there
emcmake cmake -S . -B build/wasm -DCMAKE_BUILD_TYPE=Release -DBMPFUN_BUILD_TESTS=OFF >/dev/null
cmake --build build/wasm -j"$(nproc)" --target bmpfun_site
echo
echo "web: the page is at http://127.0.0.1:$port/  (serving $root/build/wasm/site; Ctrl-C stops)"
exec python3 -m http.server "$port" --bind 127.0.0.1 --directory build/wasm/site
