#!/usr/bin/env bash
# The whole test suite: build and run it once normally and once under AddressSanitizer +
# UndefinedBehaviorSanitizer, then replay the fuzz corpora.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
bash scripts/setup.sh
jobs=$(nproc)
testdata=${BMPFUN_TESTDATA:-$root/../shared/testdata}

echo "== normal build"
cmake -S . -B build/release -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBMPFUN_BUILD_TESTS=ON -DBMPFUN_TESTDATA="$testdata" >/dev/null
cmake --build build/release -j"$jobs"
ctest --test-dir build/release -j"$jobs" --output-on-failure --no-tests=error
bash scripts/test-web.sh

echo "== benchmarks: build, and one short run at 1024 x 1024 so they keep working"
cmake -S . -B build/bench -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBMPFUN_BUILD_TESTS=OFF -DBMPFUN_BUILD_BENCH=ON >/dev/null
cmake --build build/bench -j"$jobs"
build/bench/bench/bmpfun_bench --sizes=1024 --benchmark_min_time=0.01

echo "== sanitizer build"
cmake -S . -B build/asan -DCMAKE_BUILD_TYPE=Debug -DBMPFUN_BUILD_TESTS=ON -DCMAKE_CXX_FLAGS_DEBUG="-g -O1" -DCMAKE_C_FLAGS_DEBUG="-g -O1" -DBMPFUN_TESTDATA="$testdata" \
  -DBMPFUN_SANITIZE="-fsanitize=address,undefined,float-cast-overflow -fno-sanitize-recover=all" >/dev/null
cmake --build build/asan -j"$jobs"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir build/asan -j"$jobs" --output-on-failure --no-tests=error

bash scripts/test-python.sh

if [ -x fuzz/run.sh ] || [ -f fuzz/run.sh ]; then
  echo "== fuzz targets: replay corpora and a short run each"
  bash fuzz/run.sh --ci
fi
echo "all tests passed"
