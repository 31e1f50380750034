#!/usr/bin/env bash
# Build the fuzz targets into build/fuzz (or $BMPFUN_FUZZ_BUILD): clang 14 with libFuzzer,
# AddressSanitizer and UndefinedBehaviorSanitizer. Installs clang when it is missing.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BMPFUN_FUZZ_BUILD:-$root/build/fuzz}

find_clang() {
  for c in clang++-14 clang++; do
    if command -v "$c" >/dev/null 2>&1 && echo 'int main(){}' |
        "$c" -x c++ -fsanitize=fuzzer-no-link,address -o /dev/null - >/dev/null 2>&1; then
      echo "$c"; return 0
    fi
  done
  return 1
}

cxx=$(find_clang) || {
  echo "fuzz/build.sh: installing clang-14 and its runtime libraries"
  if [ "$(id -u)" -eq 0 ]; then sudo=""; else sudo="sudo"; fi
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq clang-14 libclang-rt-14-dev cmake ninja-build
  cxx=$(find_clang) || { echo "fuzz/build.sh: no clang with libFuzzer found" >&2; exit 1; }
}

generator=()
if command -v ninja >/dev/null 2>&1; then generator=(-G Ninja); fi
if [ -f "$build/CMakeCache.txt" ]; then generator=(); fi  # keep the generator it was made with
cmake -S "$root/fuzz" -B "$build" "${generator[@]}" -DCMAKE_CXX_COMPILER="$(command -v "$cxx")" \
  -DCMAKE_BUILD_TYPE=None >/dev/null
cmake --build "$build" -j"${BMPFUN_FUZZ_JOBS:-2}"
