#!/usr/bin/env bash
# The whole test suite: build and run it normally (with the benchmarks), once under
# AddressSanitizer + UndefinedBehaviorSanitizer and once with clang 14, every build with
# warnings as errors, run the thread-count identity tests under ThreadSanitizer, then build
# the libFuzzer targets and fuzz each one briefly.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
bash scripts/setup.sh
jobs=$(nproc)
testdata=${BMPFUN_TESTDATA:-$root/../shared/testdata}
common=(-DBMPFUN_BUILD_TESTS=ON -DBMPFUN_WERROR=ON -DBMPFUN_TESTDATA="$testdata")

echo "== normal build, with the benchmarks"
cmake -S . -B build/release -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBMPFUN_BUILD_BENCH=ON "${common[@]}" >/dev/null
cmake --build build/release -j"$jobs"
ctest --test-dir build/release -j"$jobs" --output-on-failure --no-tests=error
bash scripts/test-web.sh

echo "== benchmarks: one short run at 1024 x 1024 so they keep working"
build/release/bench/bmpfun_bench --sizes=1024 --benchmark_min_time=0.01

echo "== sanitizer build"
cmake -S . -B build/asan -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG="-g -O1" -DCMAKE_C_FLAGS_DEBUG="-g -O1" "${common[@]}" \
  -DBMPFUN_SANITIZE="-fsanitize=address,undefined,float-cast-overflow -fno-sanitize-recover=all" >/dev/null
cmake --build build/asan -j"$jobs"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir build/asan -j"$jobs" --output-on-failure --no-tests=error

echo "== clang 14 build (Release, no benchmarks)"
cmake -S . -B build/clang -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14 -DCMAKE_BUILD_TYPE=Release \
  -DBMPFUN_BUILD_BENCH=OFF "${common[@]}" >/dev/null
cmake --build build/clang -j"$jobs"
ctest --test-dir build/clang -j"$jobs" --output-on-failure --no-tests=error

echo "== thread sanitizer: the thread-count identity tests"
# Only the one test executable (and what it links), at -O1: the operations split even the
# small images of parallel_test over threads, so every parallel loop runs under the checker.
cmake -S . -B build/tsan -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG="-g -O1" -DCMAKE_C_FLAGS_DEBUG="-g -O1" "${common[@]}" \
  -DBMPFUN_SANITIZE="-fsanitize=thread" >/dev/null
cmake --build build/tsan -j"$jobs" --target parallel_test
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 build/tsan/tests/parallel_test

bash scripts/test-python.sh

echo "== fuzz targets: libFuzzer build, replay of the seeds and a short run each"
BMPFUN_WERROR=ON bash fuzz/run.sh --ci
echo "all tests passed"
