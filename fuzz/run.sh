#!/usr/bin/env bash
# Build and run the fuzz targets.
#   bash fuzz/run.sh --ci                 build, replay every seed and regression input through
#                                         its target, then fuzz each target briefly (15 s)
#   bash fuzz/run.sh SECONDS [TARGET...]  build, seed, then fuzz each target (all by default)
#                                         for SECONDS, one after the other; prints executions
# Exits non-zero on any finding (crash, sanitizer report, failed check, leak, timeout).
# Findings are written to build/fuzz/artifacts/<target>/.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BMPFUN_FUZZ_BUILD:-$root/build/fuzz}
all_targets=(reader extended header image entry)

usage() {
  echo "usage: bash fuzz/run.sh --ci | bash fuzz/run.sh SECONDS [${all_targets[*]}]" >&2
  exit 2
}
[ $# -ge 1 ] || usage
mode=$1
shift
if [ "$mode" = "--ci" ]; then
  seconds=${BMPFUN_FUZZ_CI_SECONDS:-15}
  targets=("${all_targets[@]}")
else
  [[ "$mode" =~ ^[0-9]+$ ]] || usage
  seconds=$mode
  targets=("$@")
  [ ${#targets[@]} -gt 0 ] || targets=("${all_targets[@]}")
  for t in "${targets[@]}"; do
    [[ " ${all_targets[*]} " == *" $t "* ]] || { echo "unknown target: $t" >&2; usage; }
  done
fi

started=$(date +%s)
bash "$root/fuzz/build.sh" || exit 1
bash "$root/fuzz/make_seeds.sh" || exit 1

# The targets' scratch folders go under the build tree (a target stopped by a finding cannot
# remove its own), one folder per run so that runs side by side never clear each other's;
# a run that ends without a finding removes its folder.
export TMPDIR=$build/tmp/run-$$
rm -rf "$TMPDIR"
mkdir -p "$TMPDIR"
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1:symbolize=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
common=(-timeout=20 -rss_limit_mb=2048 -dict="$root/fuzz/bmp.dict")
failed=0
summary=()

for t in "${targets[@]}"; do
  bin=$build/${t}_fuzz
  mkdir -p "$build/artifacts/$t" "$build/logs"
  log=$build/logs/$t.log
  : >"$log"

  if [ "$mode" = "--ci" ]; then
    # Every seed and every kept regression input, each run once.
    inputs=("$build/seeds/$t"/*)
    if compgen -G "$root/fuzz/regressions/$t/*" >/dev/null; then inputs+=("$root/fuzz/regressions/$t"/*); fi
    if ! "$bin" "${common[@]}" -artifact_prefix="$build/artifacts/$t/" "${inputs[@]}" >>"$log" 2>&1; then
      echo "FAIL $t: replay of seeds and regressions (log: $log)"
      grep -E "ERROR|check failed|runtime error|Running:" "$log" | grep -B1 -A2 -E "ERROR|check failed|runtime error" | head -20
      failed=1
      continue
    fi
    echo "ok   $t: replayed ${#inputs[@]} inputs"
  fi

  t0=$(date +%s)
  "$bin" "${common[@]}" -max_total_time="$seconds" -print_final_stats=1 \
    -artifact_prefix="$build/artifacts/$t/" "$build/corpus/$t" >>"$log" 2>&1
  rc=$?
  elapsed=$(( $(date +%s) - t0 ))
  execs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$log" | tail -1 | grep -o '[0-9]*$')
  corpus=$(find "$build/corpus/$t" -type f | wc -l)
  line="$t: ${execs:-?} executions in ${elapsed} s, corpus ${corpus} files"
  if [ $rc -ne 0 ]; then
    echo "FAIL $line, exit $rc (log: $log)"
    grep -E "ERROR|check failed|runtime error|Test unit written" "$log" | head -10
    failed=1
  else
    echo "ok   $line"
  fi
  summary+=("$line")
done

echo "fuzz: $(( $(date +%s) - started )) s in all"
if [ "$mode" != "--ci" ]; then
  printf '%s\n' "${summary[@]}" | sed "s/^/$(date -u +%F) /" >>"$build/campaign.txt"
fi
if [ $failed -ne 0 ]; then
  echo "fuzz: FINDINGS (see build/fuzz/artifacts/)"
  exit 1
fi
rm -rf "$TMPDIR"
echo "fuzz: no findings"
