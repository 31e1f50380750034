#!/usr/bin/env bash
# Install the Debian packages the Windows build and its tests need: mingw-w64's compilers (the
# posix threads variant), Wine to run what they make, and GoogleTest's sources to build the
# unit tests for the target.
set -euo pipefail
bash "$(dirname "$0")/install-missing.sh" setup-windows cmake make g++-mingw-w64-x86-64-posix \
  wine wine64 googletest python3
