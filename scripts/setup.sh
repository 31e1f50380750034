#!/usr/bin/env bash
# Install the Debian packages that are missing for one job:
#   bash scripts/setup.sh demo   what scripts/demo.sh needs: the compiler, CMake, Python
#   bash scripts/setup.sh        everything scripts/test.sh needs as well: Google Test and
#                                Benchmark, clang 14 with the libFuzzer and sanitizer
#                                runtimes, binutils (nm), ImageMagick (the corpus comparison)
#                                and pkg-config (the installed-package tests)
set -euo pipefail
demo=(cmake make gcc g++ python3)
tests=(libgtest-dev libgmock-dev libbenchmark-dev clang-14 libclang-rt-14-dev binutils imagemagick pkg-config)
case "${1:-test}" in
  demo) packages=("${demo[@]}") ;;
  test) packages=("${demo[@]}" "${tests[@]}") ;;
  *) echo "usage: bash scripts/setup.sh [demo|test]" >&2; exit 2 ;;
esac
bash "$(dirname "$0")/install-missing.sh" setup "${packages[@]}"
