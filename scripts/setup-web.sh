#!/usr/bin/env bash
# Install the Debian packages the web page's build and tests need: emscripten, Chromium, and
# node with npm (node 18 or later; a newer node already on the machine is kept). With
# --build-only, just what building and serving the page needs: emscripten and python3.
set -euo pipefail
if [ "${1:-}" = "--build-only" ]; then
  packages=(cmake make emscripten python3)
else
  bash "$(dirname "$0")/setup.sh"
  packages=(emscripten chromium)
  command -v npm >/dev/null 2>&1 || packages+=(npm)
fi
# A node already on PATH is kept, wherever it came from.
command -v node >/dev/null 2>&1 || packages+=(nodejs)
bash "$(dirname "$0")/install-missing.sh" setup-web "${packages[@]}"
major=$(node -p 'process.versions.node.split(".")[0]')
if [ "$major" -lt 18 ]; then
  echo "setup-web: node $(node --version) is too old (18 or later)" >&2
  exit 1
fi
