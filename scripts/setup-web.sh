#!/usr/bin/env bash
# Install the Debian packages the web page's build and tests need: emscripten, Chromium, and
# node with npm (node 18 or later; a newer node already on the machine is kept). With
# --build-only, just what building and serving the page needs: emscripten and python3.
set -euo pipefail
missing=()
if [ "${1:-}" = "--build-only" ]; then
  packages=(cmake make emscripten python3)
else
  bash "$(dirname "$0")/setup.sh"
  packages=(emscripten chromium)
  command -v npm >/dev/null 2>&1 || missing+=(npm)
fi
for p in "${packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
command -v node >/dev/null 2>&1 || missing+=(nodejs)
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup-web: installing ${missing[*]}"
  if [ "$(id -u)" -eq 0 ]; then SUDO=""; else SUDO="sudo"; fi
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}" >/dev/null
fi
major=$(node -p 'process.versions.node.split(".")[0]')
if [ "$major" -lt 18 ]; then
  echo "setup-web: node $(node --version) is too old (18 or later)" >&2
  exit 1
fi
