#!/usr/bin/env bash
# Time whole bmpfun commands side by side with ImageMagick 6 and GraphicsMagick, and with the
# floor programs in bench/, in one run; print a markdown table and the issue's targets.
#
#   bench/compare.sh [--runs N] [--sizes "1024 2048 4096"] [--fun-size N] [--quick]
#                    [--build-type TYPE] [--build DIR] [--work DIR] [--out FILE]
#
# Every row is a group of commands on the same input. Each command runs once untimed (to warm
# the page cache and check that it works), then the group runs N rounds, every round running
# each command once, the starting command rotating from round to round. Reported per command:
# median wall time, median CPU time (user + system), median peak resident memory
# (/usr/bin/time %M) and the wall ratio to the group's bmpfun command (above 1: bmpfun is
# faster). Peers run twice: held to one thread (-limit thread(s) 1, OMP_NUM_THREADS=1) and at
# their default.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
runs=5
sizes="1024 2048 4096"
fun_size=2048
build_type=RelWithDebInfo
build=""
work=""
out=""

usage() { sed -n '2,14p' "$0" | sed 's/^# \{0,1\}//'; exit "${1:-0}"; }
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
work=${work:-${TMPDIR:-/tmp}/bmpfun-compare}
out=${out:-$work/compare.md}

# ---------------------------------------------------------------- peers and tools
im=/usr/bin/convert-im6.q16   # the real binaries: another `convert` may come first on PATH
gm=/usr/bin/gm
if [ ! -x "$im" ] || [ ! -x "$gm" ] || [ ! -x /usr/bin/time ]; then
  echo "compare.sh: installing imagemagick, graphicsmagick and time" >&2
  if [ "$(id -u)" -eq 0 ]; then sudo=""; else sudo="sudo"; fi
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq imagemagick graphicsmagick time >/dev/null
fi

# ---------------------------------------------------------------- build
echo "compare.sh: building bmpfun and the floors ($build_type) in $build" >&2
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE="$build_type" -DBMPFUN_BUILD_TESTS=OFF \
  -DBMPFUN_BUILD_BENCH=ON >/dev/null
cmake --build "$build" --target bmpfun floor_roundtrip floor_effect1 -j2 >/dev/null
bmpfun=$build/bmpfun
floor_rt=$build/bench/floor_roundtrip
floor_e1=$build/bench/floor_effect1

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
  local i=$1 tag=$2 t0 t1 m u s
  local stats=$work/time.$i qstats
  printf -v qstats '%q' "$stats"
  t0=$(date +%s%N)
  if ! eval "/usr/bin/time -f '%M %U %S' -o $qstats ${g_cmds[$i]}" >/dev/null 2>"$work/stderr.$i"; then
    echo "compare.sh: [$g_name] ${g_labels[$i]} failed:" >&2
    cat "$work/stderr.$i" >&2
    exit 1
  fi
  t1=$(date +%s%N)
  read -r m u s <"$stats"
  if [ "$tag" = timed ]; then
    echo "$(( (t1 - t0) / 1000 ))" >>"$work/wall.$i"
    awk -v u="$u" -v s="$s" 'BEGIN {print u + s}' >>"$work/cpu.$i"
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
  local ref=""
  for ((i = 0; i < n; i++)); do
    local key="$g_name|$g_size|${g_labels[$i]}"
    wall[$key]=$(awk '{print $1 / 1e6}' "$work/wall.$i" | median)
    cpu[$key]=$(median <"$work/cpu.$i")
    mem[$key]=$(median <"$work/mem.$i")
    [ -z "$ref" ] && ref=${wall[$key]}
    table_rows+=("$(awk -v g="$g_name" -v z="$g_size" -v l="${g_labels[$i]}" -v t="${g_threads[$i]}" \
      -v w="${wall[$key]}" -v c="${cpu[$key]}" -v m="${mem[$key]}" -v ref="$ref" \
      'BEGIN {printf "| %s | %s | %s | %s | %.3f | %.3f | %.1f | %.2f |", g, z, l, t, w, c, m / 1024, w / ref}')")
  done
}

o=$work/out
mkdir -p "$o"
peer_pair() {  # LABEL-PREFIX BINARY-KIND ARGS... (ARGS end with the output spec)
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
w() { echo "${wall[$1]:-}"; }
verdict() { awk "BEGIN {exit !($1)}" && echo "met" || echo "**not met**"; }
targets=()
big=""
for s in $sizes; do big=$s; done
if [ -n "$big" ]; then
  g="24-bit round trip|${big}²"
  b=$(w "$g|bmpfun convert")
  fl=$(w "$g|floor (read, unpack, pack, write)")
  pi=$(w "$g|IM convert BMP3: (1 thread)")
  pg=$(w "$g|gm convert BMP3: (1 thread)")
  peer=$(awk -v a="$pi" -v b="$pg" 'BEGIN {print (a < b) ? a : b}')
  targets+=("| Round trip ${big}²: ≥ 2× faster than the faster peer (1 thread) or ≤ 1.3× the floor | peer/bmpfun $(awk -v p="$peer" -v b="$b" 'BEGIN {printf "%.2f", p / b}'), bmpfun/floor $(awk -v f="$fl" -v b="$b" 'BEGIN {printf "%.2f", b / f}') | $(verdict "$peer / $b >= 2 || $b / $fl <= 1.3") |")
  key="$g|bmpfun convert"
  m=${mem[$key]}
  grid=$(awk -v s="$big" 'BEGIN {print 4 * s * s / 1024}')
  targets+=("| Round trip ${big}² peak memory ≤ 1.3 × one RGBA grid ($(awk -v g="$grid" 'BEGIN {printf "%.0f", g / 1024}') MiB) | $(awk -v m="$m" -v g="$grid" 'BEGIN {printf "%.1f MiB = %.2f grids", m / 1024, m / g}') | $(verdict "$m <= 1.3 * $grid") |")
fi
g="fun 1 (polar disc) and 2|${fun_size}²"
b1=$(w "$g|bmpfun fun 1")
b2=$(w "$g|bmpfun fun 2")
fl=$(w "$g|floor (atan2, sqrt, gather, store, I/O)")
pp=$(w "$g|IM +distort Polar (1 thread)")
targets+=("| Effect 1: ≥ 3× faster than IM polar (1 thread) | $(awk -v p="$pp" -v b="$b1" 'BEGIN {printf "%.2f", p / b}') | $(verdict "$pp / $b1 >= 3") |")
targets+=("| Effect 1: ≤ 1.3× the floor | $(awk -v f="$fl" -v b="$b1" 'BEGIN {printf "%.2f", b / f}') | $(verdict "$b1 / $fl <= 1.3") |")
targets+=("| Effect 2 faster than effect 1 | effect2/effect1 $(awk -v a="$b2" -v b="$b1" 'BEGIN {printf "%.2f", a / b}') | $(verdict "$b2 < $b1") |")
g="fun 0 (sine wave)|${fun_size}²"
b0=$(w "$g|bmpfun fun 0")
pw=$(w "$g|IM -wave (1 thread)")
targets+=("| Effect 0: ≥ 4× faster than IM -wave (1 thread) | $(awk -v p="$pw" -v b="$b0" 'BEGIN {printf "%.2f", p / b}') | $(verdict "$pw / $b0 >= 4") |")
for name in "blur" "rotate" "scale" "Floyd-Steinberg dither" "ordered dither"; do
  g="$name|${fun_size}²"
  b="" p=""
  for key in "${!wall[@]}"; do
    case "$key" in
      "$g|bmpfun apply"*) b=${wall[$key]} ;;
      "$g|IM "*"(1 thread)") p=${wall[$key]} ;;
    esac
  done
  targets+=("| $name: no slower than IM (1 thread) | IM/bmpfun $(awk -v p="$p" -v b="$b" 'BEGIN {printf "%.2f", p / b}') | $(verdict "$b <= $p") |")
done

# ---------------------------------------------------------------- report
{
  echo "Measured $(date -u '+%Y-%m-%d %H:%M UTC') on $(nproc) cores ($(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -1)), $runs timed runs per command, build type $build_type."
  echo "Load average at start $start_load, at end $end_load."
  echo
  echo "| Operation | Size | Command | Threads | Median wall s | Median CPU s | Peak MiB | Wall ÷ bmpfun |"
  echo "|---|---|---|---|---:|---:|---:|---:|"
  printf '%s\n' "${table_rows[@]}"
  echo
  echo "| Target | Measured | Verdict |"
  echo "|---|---|---|"
  printf '%s\n' "${targets[@]}"
} | tee "$out"
echo "compare.sh: table written to $out" >&2
