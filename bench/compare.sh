#!/usr/bin/env bash
# Time whole bmpfun commands side by side with ImageMagick 6 and GraphicsMagick, and with the
# floor programs in bench/, in one run; print a markdown table and check the performance targets.
#
#   bench/compare.sh [--runs N] [--sizes "1024 2048 4096"] [--fun-size N] [--quick]
#                    [--build-type TYPE] [--build DIR] [--work DIR] [--out FILE]
#
# Every row is a group of commands on the same input. Each command runs once untimed (to warm
# the page cache and check that it works), then the group runs N rounds, every round running
# each command once, the starting command rotating from round to round. Reported per command:
# median wall time, median CPU time (user + system), median peak resident memory (ru_maxrss,
# the figure /usr/bin/time -f %M prints), all taken by bench/runstat, and the ratios to the
# group's bmpfun command (above 1: bmpfun is faster). Peers run twice: held to one thread
# (-limit thread(s) 1, OMP_NUM_THREADS=1) and at their default. The targets are checked on
# wall time and on CPU time; on a machine other work is sharing, CPU time is the steadier.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
runs=5
sizes="1024 2048 4096"
fun_size=2048
build_type=RelWithDebInfo
build=""
work=""
out=""

usage() { sed -n '2,15p' "$0" | sed 's/^# \{0,1\}//'; exit "${1:-0}"; }
while [ $# -gt 0 ]; do
  case "$1" in
    --runs) runs=$2; shift 2 ;;
    --sizes) sizes=$2; shift 2 ;;
    --fun-size) fun_size=$2; shift 2 ;;
    --quick) runs=3; sizes="1024"; fun_size=1024; shift ;;
    --build-type) build_type=$2; shift 2 ;;
    --build) build=$2; shift 2 ;;
    --work) work=$2; shift 2 ;;
    --out) out=$2; shift 2 ;;
    -h|--help) usage 0 ;;
    *) echo "compare.sh: unknown option '$1'" >&2; usage 2 ;;
  esac
done
case "$runs" in ''|*[!0-9]*|0) echo "compare.sh: --runs wants a positive number" >&2; exit 2 ;; esac
build=${build:-$root/build/bench-compare}
if [ -z "$work" ]; then
  # Inputs and outputs on a memory file system when there is room: the commands then pay for
  # the page cache, as the floors do, but not for the disk's write-back of earlier outputs.
  shm_free=$(df -Pk /dev/shm 2>/dev/null | awk 'NR == 2 {print $4}')
  if [ -w /dev/shm ] && [ "${shm_free:-0}" -gt $((2 * 1024 * 1024)) ]; then
    work=/dev/shm/bmpfun-compare
  else
    work=${TMPDIR:-/tmp}/bmpfun-compare
  fi
fi
out=${out:-$work/compare.md}

# ---------------------------------------------------------------- peers and tools
im=/usr/bin/convert-im6.q16   # the real binaries: another `convert` may come first on PATH
gm=/usr/bin/gm
if [ ! -x "$im" ] || [ ! -x "$gm" ]; then
  echo "compare.sh: installing imagemagick and graphicsmagick" >&2
  if [ "$(id -u)" -eq 0 ]; then sudo=""; else sudo="sudo"; fi
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq imagemagick graphicsmagick >/dev/null
fi

# ---------------------------------------------------------------- build
echo "compare.sh: building bmpfun and the floors ($build_type) in $build" >&2
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE="$build_type" -DBMPFUN_BUILD_TESTS=OFF \
  -DBMPFUN_BUILD_BENCH=ON >/dev/null
cmake --build "$build" --target bmpfun floor_roundtrip floor_effect1 runstat -j2 >/dev/null
bmpfun=$build/bmpfun
floor_rt=$build/bench/floor_roundtrip
floor_e1=$build/bench/floor_effect1
runstat=$build/bench/runstat

# ---------------------------------------------------------------- inputs
mkdir -p "$work"
input() { echo "$work/in-$1.bmp"; }
for s in $sizes $fun_size; do
  f=$(input "$s")
  if [ ! -f "$f" ]; then
    # The test card with a little noise, so flat areas look more like a photograph's.
    "$bmpfun" testcard "$work/card-$s.bmp" "$s" "$s"
    "$bmpfun" apply "$work/card-$s.bmp" "$f" noise=0.08
    rm -f "$work/card-$s.bmp"
  fi
  cat "$f" >/dev/null  # into the page cache
done

# ---------------------------------------------------------------- timing
one_thread=(env OMP_NUM_THREADS=1)
declare -a g_labels g_threads g_cmds
declare -A wall cpu mem   # "group|label" -> median
groups=()
table_rows=()

begin_group() {  # NAME SIZE
  g_name=$1
  g_size=$2
  g_labels=()
  g_threads=()
  g_cmds=()
  groups+=("$g_name")
}

tool() {  # LABEL THREADS COMMAND...  (the group's first tool is the reference, bmpfun)
  local label=$1 threads=$2
  shift 2
  g_labels+=("$label")
  g_threads+=("$threads")
  g_cmds+=("$(printf '%q ' "$@")")
}

median() { sort -g | awk '{v[NR] = $1} END {print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2}'; }

run_once() {  # INDEX TAG -> appends wall/cpu/mem samples
  local i=$1 tag=$2 wl u s m
  local stats=$work/time.$i qstats
  printf -v qstats '%q' "$stats"
  if ! eval "$runstat $qstats ${g_cmds[$i]}" >/dev/null 2>"$work/stderr.$i"; then
    echo "compare.sh: [$g_name] ${g_labels[$i]} failed:" >&2
    cat "$work/stderr.$i" >&2
    exit 1
  fi
  read -r wl u s m <"$stats"
  if [ "$tag" = timed ]; then
    echo "$wl" >>"$work/wall.$i"
    echo "$((u + s))" >>"$work/cpu.$i"
    echo "$m" >>"$work/mem.$i"
  fi
}

run_group() {
  local n=${#g_cmds[@]} i r k
  echo "compare.sh: $g_name at $g_size ($n commands x $runs runs)" >&2
  for ((i = 0; i < n; i++)); do
    rm -f "$work/wall.$i" "$work/cpu.$i" "$work/mem.$i"
    run_once "$i" warm
  done
  for ((r = 0; r < runs; r++)); do
    for ((k = 0; k < n; k++)); do run_once $(( (r + k) % n )) timed; done
  done
  local ref_wall="" ref_cpu=""
  for ((i = 0; i < n; i++)); do
    local key="$g_name|$g_size|${g_labels[$i]}"
    wall[$key]=$(awk '{print $1 / 1e6}' "$work/wall.$i" | median)
    cpu[$key]=$(awk '{print $1 / 1e6}' "$work/cpu.$i" | median)
    mem[$key]=$(median <"$work/mem.$i")
    if [ -z "$ref_wall" ]; then ref_wall=${wall[$key]}; ref_cpu=${cpu[$key]}; fi
    table_rows+=("$(awk -v g="$g_name" -v z="$g_size" -v l="${g_labels[$i]}" -v t="${g_threads[$i]}" \
      -v w="${wall[$key]}" -v c="${cpu[$key]}" -v m="${mem[$key]}" -v rw="$ref_wall" -v rc="$ref_cpu" \
      'BEGIN {printf "| %s | %s | %s | %s | %.3f | %.3f | %.1f | %.2f | %.2f |", g, z, l, t, w, c, m / 1024, w / rw, c / rc}')")
  done
}

o=$work/out
mkdir -p "$o"
peer_pair() {  # LABEL-PREFIX BINARY-KIND ARGS... (ARGS end with the output file)
  local prefix=$1 kind=$2
  shift 2
  if [ "$kind" = im ]; then
    tool "$prefix (1 thread)" 1 "${one_thread[@]}" "$im" -limit thread 1 "$@"
    tool "$prefix (default)" default "$im" "$@"
  else
    tool "$prefix (1 thread)" 1 "${one_thread[@]}" "$gm" convert -limit threads 1 "$@"
    tool "$prefix (default)" default "$gm" convert "$@"
  fi
}

start_load=$(cut -d' ' -f1-3 /proc/loadavg)
revision="an unversioned tree"
if [ "$(git -C "$root" rev-parse --show-toplevel 2>/dev/null)" = "$root" ]; then
  revision="commit $(git -C "$root" describe --always --dirty 2>/dev/null)"
fi

for s in $sizes; do
  in=$(input "$s")
  begin_group "24-bit round trip" "${s}²"
  tool "bmpfun convert" 1 "$bmpfun" convert "$in" "$o/rt-bmpfun.bmp" 24
  tool "floor (read, unpack, pack, write)" 1 "$floor_rt" "$in" "$o/rt-floor.bmp"
  peer_pair "IM convert BMP3:" im "$in" "BMP3:$o/rt-im.bmp"
  peer_pair "gm convert BMP3:" gm "$in" "BMP3:$o/rt-gm.bmp"
  run_group
done
# The floor does the same work: its file must equal bmpfun's to the byte.
cmp -s "$o/rt-bmpfun.bmp" "$o/rt-floor.bmp" || echo "compare.sh: warning: round-trip floor output differs from bmpfun's" >&2

in=$(input "$fun_size")
half=$((fun_size / 2))
begin_group "fun 0 (sine wave)" "${fun_size}²"
tool "bmpfun fun 0" 1 "$bmpfun" fun "$in" "$o/f0-bmpfun.bmp" 0
peer_pair "IM -wave" im "$in" -virtual-pixel white -interpolate nearest -wave "${half}x${fun_size}" "BMP3:$o/f0-im.bmp"
peer_pair "gm -wave" gm "$in" -wave "${half}x${fun_size}" "BMP3:$o/f0-gm.bmp"
run_group

begin_group "fun 1 (polar disc) and 2" "${fun_size}²"
tool "bmpfun fun 1" 1 "$bmpfun" fun "$in" "$o/f1-bmpfun.bmp" 1
tool "bmpfun fun 2" 1 "$bmpfun" fun "$in" "$o/f2-bmpfun.bmp" 2
tool "floor (atan2, sqrt, gather, store, I/O)" 1 "$floor_e1" "$in" "$o/f1-floor.bmp"
peer_pair "IM +distort Polar" im "$in" -virtual-pixel white -filter point -interpolate nearest \
  +distort Polar "$fun_size" "BMP3:$o/f1-im.bmp"
run_group
# The floor's pixels must equal effect 1's (headers may differ in the resolution fields).
if ! cmp -s <(tail -c +55 "$o/f1-bmpfun.bmp") <(tail -c +55 "$o/f1-floor.bmp"); then
  echo "compare.sh: warning: effect-1 floor pixels differ from bmpfun's" >&2
fi

filter_row() {  # NAME BMPFUN-OP IM-ARGS...
  local name=$1 op=$2
  shift 2
  begin_group "$name" "${fun_size}²"
  tool "bmpfun apply $op" 1 "$bmpfun" apply "$in" "$o/flt-bmpfun.bmp" "$op"
  peer_pair "IM $*" im "$in" "$@" "BMP3:$o/flt-im.bmp"
  run_group
}
filter_row "blur" blur=5 -morphology Convolve Binomial:2
filter_row "rotate" rotate=30 -virtual-pixel white -filter point -distort SRT 30
filter_row "scale" scale=0.5,0.5 -sample 50%
filter_row "Floyd-Steinberg dither" floyd-steinberg-dither=1 -dither FloydSteinberg -posterize 2
filter_row "ordered dither" ordered-dither=1 -ordered-dither o4x4

end_load=$(cut -d' ' -f1-3 /proc/loadavg)

# ---------------------------------------------------------------- targets
# One table row per target: the figure and verdict on wall time, then on CPU time.
fmt() { awk "BEGIN {printf \"%.2f\", $1}"; }
verdict() { awk "BEGIN {exit !($1)}" && echo "met" || echo "**not met**"; }
get() { local -n metric=$1; echo "${metric[$2]:-}"; }
targets=()
big=""
for s in $sizes; do big=$s; done
for m in wall cpu; do
  declare -a "t_$m=()"
done
add_target() {  # METRIC TEXT FIGURE CONDITION
  local -n list="t_$1"
  list+=("$2|$(fmt "$3")|$(verdict "$4")")
}
for m in wall cpu; do
  if [ -n "$big" ]; then
    g="24-bit round trip|${big}²"
    b=$(get $m "$g|bmpfun convert")
    fl=$(get $m "$g|floor (read, unpack, pack, write)")
    pi=$(get $m "$g|IM convert BMP3: (1 thread)")
    pg=$(get $m "$g|gm convert BMP3: (1 thread)")
    peer=$(awk -v a="$pi" -v b="$pg" 'BEGIN {print (a < b) ? a : b}')
    add_target $m "Round trip ${big}²: faster peer (1 thread) ÷ bmpfun ≥ 2" "$peer / $b" "$peer / $b >= 2"
    add_target $m "Round trip ${big}²: bmpfun ÷ floor ≤ 1.3 (either one suffices)" "$b / $fl" "$b / $fl <= 1.3"
  fi
  g="fun 0 (sine wave)|${fun_size}²"
  b0=$(get $m "$g|bmpfun fun 0")
  pw=$(get $m "$g|IM -wave (1 thread)")
  add_target $m "Effect 0: IM -wave (1 thread) ÷ bmpfun ≥ 4" "$pw / $b0" "$pw / $b0 >= 4"
  g="fun 1 (polar disc) and 2|${fun_size}²"
  b1=$(get $m "$g|bmpfun fun 1")
  b2=$(get $m "$g|bmpfun fun 2")
  fl=$(get $m "$g|floor (atan2, sqrt, gather, store, I/O)")
  pp=$(get $m "$g|IM +distort Polar (1 thread)")
  add_target $m "Effect 1: IM polar (1 thread) ÷ bmpfun ≥ 3" "$pp / $b1" "$pp / $b1 >= 3"
  add_target $m "Effect 1: bmpfun ÷ floor ≤ 1.3" "$b1 / $fl" "$b1 / $fl <= 1.3"
  add_target $m "Effect 2 ÷ effect 1 < 1" "$b2 / $b1" "$b2 < $b1"
  for name in "blur" "rotate" "scale" "Floyd-Steinberg dither" "ordered dither"; do
    g="$name|${fun_size}²"
    b="" p=""
    for key in "${!wall[@]}"; do
      case "$key" in
        "$g|bmpfun apply"*) b=$(get $m "$key") ;;
        "$g|IM "*"(1 thread)") p=$(get $m "$key") ;;
      esac
    done
    add_target $m "$name: IM (1 thread) ÷ bmpfun ≥ 1" "$p / $b" "$b <= $p"
  done
done
for ((k = 0; k < ${#t_wall[@]}; k++)); do
  IFS='|' read -r text fw vw <<<"${t_wall[$k]}"
  IFS='|' read -r _ fc vc <<<"${t_cpu[$k]}"
  targets+=("| $text | $fw | $vw | $fc | $vc |")
done
if [ -n "$big" ]; then
  key="24-bit round trip|${big}²|bmpfun convert"
  grid=$(awk -v s="$big" 'BEGIN {print 4 * s * s / 1024}')
  targets+=("| Round trip ${big}² peak memory ÷ one RGBA grid ($(fmt "$grid / 1024") MiB) ≤ 1.3 | $(fmt "${mem[$key]} / $grid") | $(verdict "${mem[$key]} <= 1.3 * $grid") | | |")
fi

# ---------------------------------------------------------------- report
{
  echo "Measured $(date -u '+%Y-%m-%d %H:%M UTC') on $(nproc) cores ($(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -1)), $runs timed runs per command, $revision, build type $build_type, files in $work."
  echo "Load average at start $start_load, at end $end_load."
  echo
  echo "| Operation | Size | Command | Threads | Median wall s | Median CPU s | Peak MiB | Wall ÷ bmpfun | CPU ÷ bmpfun |"
  echo "|---|---|---|---|---:|---:|---:|---:|---:|"
  printf '%s\n' "${table_rows[@]}"
  echo
  echo "| Target | Wall | Verdict (wall) | CPU | Verdict (CPU) |"
  echo "|---|---:|---|---:|---|"
  printf '%s\n' "${targets[@]}"
} | tee "$out"
echo "compare.sh: table written to $out" >&2
