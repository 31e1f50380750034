#!/usr/bin/env bash
# Build the fuzz targets into build/fuzz (or $BMPFUN_FUZZ_BUILD): clang 14 with libFuzzer,
# AddressSanitizer and UndefinedBehaviorSanitizer (the `fuzz` preset of CMakePresets.json),
# and the command-line program that writes the seeds. Installs clang when it is missing.
# BMPFUN_WERROR=ON or OFF (scripts/test.sh sets ON) turns warnings into errors or back; the
# folder keeps the last choice. A folder that holds a libFuzzer build already (scripts/test.sh
# hands over its clang build, tests included) keeps its configuration.
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

cc=${cxx/clang++/clang}
cache=$build/CMakeCache.txt
if [ -f "$cache" ] && grep -qx "CMAKE_HOME_DIRECTORY:INTERNAL=$root" "$cache" && grep -qx 'BMPFUN_FUZZ:BOOL=ON' "$cache"; then
  # A libFuzzer build of the project made already (an earlier run, or the clang build of
  # scripts/test.sh, which has the tests in it too): its configuration stays; only the
  # warnings may be switched.
  if [ -n "${BMPFUN_WERROR:-}" ] && ! grep -qix "BMPFUN_WERROR:BOOL=$BMPFUN_WERROR" "$cache"; then
    cmake "$build" -DBMPFUN_WERROR="$BMPFUN_WERROR" >/dev/null
  fi
else
  generator=()
  if command -v ninja >/dev/null 2>&1; then generator=(-G Ninja); fi
  if [ -f "$cache" ]; then
    if grep -qx "CMAKE_HOME_DIRECTORY:INTERNAL=$root" "$cache"; then
      generator=()  # keep the generator it was made with
    else
      # A folder configured from fuzz/ on its own (before the fuzz targets joined the project's
      # build): start its configuration afresh, keeping the corpora and campaign notes.
      rm -rf "$cache" "$build/CMakeFiles"
    fi
  fi
  # The project's own build with the fuzz targets (the `fuzz` preset): the library objects are
  # compiled once, with coverage for libFuzzer and the sanitizers; the command-line program
  # writes the seed files.
  (cd "$root" && cmake --preset fuzz -B "$build" "${generator[@]}" \
    -DCMAKE_CXX_COMPILER="$(command -v "$cxx")" -DCMAKE_C_COMPILER="$(command -v "$cc")" \
    ${BMPFUN_WERROR:+-DBMPFUN_WERROR="$BMPFUN_WERROR"}) >/dev/null
fi
cmake --build "$build" -j"${BMPFUN_FUZZ_JOBS:-2}" --target reader_fuzz extended_fuzz header_fuzz image_fuzz entry_fuzz bmpfun
