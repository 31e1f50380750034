#!/usr/bin/env bash
# The whole test suite, as CI runs it (.ci/run). Each toolchain builds the library once, from
# the presets in CMakePresets.json, every build with warnings as errors:
#   release  GCC, RelWithDebInfo: every test (the Python module's pytest suite among them),
#            one short run of the benchmarks; then the Python package made from that build's
#            module and installed by the README's command (scripts/test-python.sh --package)
#   asan     GCC at -O1 under AddressSanitizer + UndefinedBehaviorSanitizer: every test
#   tsan     GCC at -O1 under ThreadSanitizer: the thread-count identity tests (parallel_test)
#   clang    clang 14 at -O1 under AddressSanitizer + UndefinedBehaviorSanitizer, with the
#            libFuzzer targets: every test but those of the installed shared library (the GCC
#            builds run them; this build makes no libbmpfun.so), then each fuzz target
#            replays its seeds and regressions and fuzzes briefly (fuzz/run.sh --ci)
#   wasm     emscripten: the web page's build, its tests under node and in Chromium
#            (scripts/test-web.sh)
#   windows  mingw-w64 cross build, its tests under Wine, the zip unpacked and used alone
#            (scripts/test-windows.sh)
#
# The stages run in two lanes side by side, so that one lane's tests, node and fuzzing use the
# core the other lane's compiler leaves free. Each stage writes its output to
# build/ci-logs/STAGE.log and prints one line when it starts and one when it ends (with the
# lines of the log that sum it up). A stage that fails fails the run: the stages that need it
# are skipped, the others still run, and at the end the log of every failed stage is printed in
# full and the script exits non-zero. The two-threads timing test runs last, alone.
#
#   bash scripts/test.sh                everything: about 13 minutes on a quiet 2-core machine
#   bash scripts/test.sh STAGE...       only these stages, one after the other, their output on
#                                       the terminal (the builds they need must be made already)
#   bash scripts/test.sh --list         the stages
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
jobs=$(nproc)
testdata=${BMPFUN_TESTDATA:-$root/../shared/testdata}
logs=$root/build/ci-logs

# ---------------------------------------------------------------- the stages
# Each runs in a fresh bash with -euo pipefail, from the project root.

stage_release_build() {
  cmake --preset release -DBMPFUN_TESTDATA="$testdata"
  cmake --build --preset release -j"$jobs"
}
stage_release_test() {
  ctest --preset release -j"$jobs" -LE timing
  echo "== benchmarks: one short run at 1024 x 1024 so they keep working"
  build/release/bench/bmpfun_bench --sizes=1024 --benchmark_min_time=0.01
}
stage_timing() {
  # Tests that time two threads against one: run when the lanes are over, so that the
  # suite's own builds do not take the second core (they skip when other work does).
  ctest --preset release -j1 -L timing
}
stage_python() { bash scripts/test-python.sh --package; }
stage_asan_build() {
  cmake --preset asan -DBMPFUN_TESTDATA="$testdata"
  cmake --build --preset asan -j"$jobs"
}
stage_asan_test() { ctest --preset asan -j"$jobs"; }
stage_tsan_build() {
  # Only the one test executable (and what it links): its test hook splits even the small
  # images of parallel_test over threads, so every parallel loop runs under the checker.
  cmake --preset tsan -DBMPFUN_TESTDATA="$testdata"
  cmake --build --preset tsan -j"$jobs"
}
stage_tsan_test() { ctest --preset tsan -j"$jobs"; }
stage_clang_build() {
  cmake --preset clang -DBMPFUN_TESTDATA="$testdata"
  cmake --build --preset clang -j"$jobs"
}
stage_clang_test() { ctest --preset clang -j"$jobs"; }
stage_fuzz() { BMPFUN_FUZZ_BUILD="$root/build/clang" BMPFUN_WERROR=ON bash fuzz/run.sh --ci; }
stage_wasm_build() { bash scripts/test-web.sh --build; }
stage_web_test() { bash scripts/test-web.sh --test; }
stage_windows() { bash scripts/test-windows.sh; }

# The two lanes, each a list of NEEDS:STAGE, NEEDS naming the stages (of either lane, comma
# separated) that must have passed before STAGE runs. A lane runs the first of its stages
# whose needs have ended, waiting only when none has. Lane A compiles the GCC builds; lane B
# the WebAssembly, clang and Windows builds, and runs what needs no compiler (node, Chromium,
# the package checks, the fuzzers) while lane A compiles.
lane_a=(:release-build release-build:release-test :asan-build asan-build:asan-test
        :tsan-build tsan-build:tsan-test)
lane_b=(:wasm-build wasm-build,release-build:web-test release-build:python :clang-build
        clang-build:clang-test clang-build:fuzz :windows)
# Then, alone:
last=(release-build:timing)

# Lines of a passed stage's log that say what it did.
summary_lines='tests passed|tests failed|\((Skipped|Disabled)\)$|^(ok|FAIL) |^fuzz: |^python: |^web: package|^windows: |^== web: .* took'

# ---------------------------------------------------------------- running them

export root jobs testdata
run_one() {  # the stage's function in a fresh shell, so that -e holds inside it
  local fn=stage_${1//-/_}
  declare -F "$fn" >/dev/null || { echo "no stage '$1' (bash scripts/test.sh --list)" >&2; return 2; }
  bash -c "$(declare -f "$fn")"'
set -euo pipefail
cd "$root"
'"$fn"
}

if [ "${1:-}" = "--list" ]; then
  printf '%s\n' "${lane_a[@]}" "${lane_b[@]}" "${last[@]}" | sed 's/.*://'
  exit 0
fi
bash scripts/setup.sh
# Every Debian package any stage needs, before the lanes start (two apt-get runs at once
# would wait on each other's lock, or fail).
bash scripts/setup-python.sh
bash scripts/setup-web.sh
bash scripts/setup-windows.sh
if [ $# -gt 0 ]; then
  for stage in "$@"; do
    echo "== $stage"
    run_one "$stage"
  done
  echo "stages passed: $*"
  exit 0
fi

rm -rf "$logs"
mkdir -p "$logs"
started=$SECONDS
stamp() { printf '%4d s' $((SECONDS - started)); }

# Runs one stage into its log and leaves "STATUS SECONDS START" in STAGE.rc.
run_stage() {
  local stage=$1 t0=$SECONDS rc=0
  echo "== $(stamp)  $stage: started"
  run_one "$stage" >"$logs/$stage.log" 2>&1 </dev/null || rc=$?
  echo "$rc $((SECONDS - t0)) $((t0 - started))" >"$logs/$stage.rc"
  if [ $rc -eq 0 ]; then
    echo "== $(stamp)  $stage: passed in $((SECONDS - t0)) s"
    grep -E "$summary_lines" "$logs/$stage.log" | sed "s/^/     $stage | /" || true
  else
    echo "== $(stamp)  $stage: FAILED (exit $rc) after $((SECONDS - t0)) s; its log follows at the end"
  fi
  return $rc
}

# Whether a stage has ended (passed, failed or skipped), and whether it passed.
ended() { [ -f "$logs/$1.rc" ]; }
passed() { [ "$(cut -d' ' -f1 "$logs/$1.rc")" = 0 ]; }

# Runs a lane's stages: each time the first one whose needs have all ended, skipped if one of
# them did not pass. Fails when any stage failed.
lane() {
  local todo=("$@") rest entry stage need ready failed=0
  while [ ${#todo[@]} -gt 0 ]; do
    ready=""
    rest=()
    for entry in "${todo[@]}"; do
      if [ -z "$ready" ]; then
        ready=$entry
        for need in $(tr , ' ' <<<"${entry%%:*}"); do ended "$need" || ready=""; done
        [ -n "$ready" ] && continue
      fi
      rest+=("$entry")
    done
    if [ -z "$ready" ]; then
      sleep 1
      continue
    fi
    todo=("${rest[@]}")
    stage=${ready#*:}
    for need in $(tr , ' ' <<<"${ready%%:*}"); do
      if ! passed "$need"; then
        echo "== $(stamp)  $stage: skipped ($need did not pass)"
        echo "skipped 0 $((SECONDS - started))" >"$logs/$stage.rc"
        continue 2
      fi
    done
    run_stage "$stage" || failed=1
  done
  return $failed
}

pids=()
stop_lanes() {
  trap - INT TERM
  echo "== $(stamp)  interrupted: stopping the lanes"
  for pid in "${pids[@]}"; do kill -TERM -- "-$pid" 2>/dev/null || true; done
  wait || true
  exit 130
}
trap stop_lanes INT TERM
# Each lane in a process group of its own, so that an interrupt stops everything it started.
set -m
lane "${lane_a[@]}" &
pids+=($!)
lane "${lane_b[@]}" &
pids+=($!)
set +m
status=0
for pid in "${pids[@]}"; do wait "$pid" || status=1; done
trap - INT TERM
lane "${last[@]}" || status=1

echo
echo "stage            result     seconds  started at"
failed=()
for entry in "${lane_a[@]}" "${lane_b[@]}" "${last[@]}"; do
  stage=${entry#*:}
  read -r rc secs at <"$logs/$stage.rc" || { rc=missing secs=0 at=0; }
  case $rc in
    0) result=passed ;;
    skipped) result=skipped ;;
    *) result="FAILED $rc"; failed+=("$stage") ;;
  esac
  printf '%-16s %-10s %7s  %7s\n' "$stage" "$result" "$secs" "$at"
done
echo "total: $((SECONDS - started)) s"

if [ $status -ne 0 ] || [ ${#failed[@]} -gt 0 ]; then
  for stage in "${failed[@]}"; do
    echo
    echo "==================== $stage FAILED; its log (build/ci-logs/$stage.log):"
    cat "$logs/$stage.log" 2>/dev/null || echo "(no log)"
  done
  echo
  echo "FAILED: ${failed[*]:-a lane ended early}"
  exit 1
fi
echo "all tests passed"
