#!/usr/bin/env bash
# Time whole bmpfun commands side by side with ImageMagick 6 and GraphicsMagick, and with the
# floor programs in bench/, in one run; print a markdown table and check the performance targets.
#
#   bench/compare.sh [--runs N] [--sizes "1024 2048 4096"] [--fun-size N] [--quick]
#                    [--rotate-size N] [--batch-files N] [--batch-size N]
#                    [--build-type TYPE] [--build DIR] [--work DIR] [--out FILE]
#
# Every row is a group of commands on the same input. Each command runs once untimed (to warm
# the page cache and check that it works), then the group runs N rounds, every round running
# each command once, the starting command rotating from round to round. Reported per command:
# median wall time, median CPU time (user + system), median peak resident memory (ru_maxrss,
# the figure /usr/bin/time -f %M prints), all taken by bench/runstat, and the ratios to the
# group's first command, bmpfun held to one thread (above 1: that command is faster). bmpfun
# runs with --threads 1 and --threads 2 (the command line's default, one per processor, is 2
# on the reference machine); peers run at their default thread count, and for the rows the
# one-thread targets use also held to one thread (-limit thread(s) 1, OMP_NUM_THREADS=1). The
# targets are checked on wall time and on CPU time; on a machine other work is sharing, CPU
# time is the steadier (but two threads cost more CPU time than one, not less).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
runs=5
sizes="1024 2048 4096"
fun_size=2048
rotate_size=6000
batch_files=200
batch_size=512
build_type=RelWithDebInfo
build=""
work=""
out=""

usage() { sed -n '2,19p' "$0" | sed 's/^# \{0,1\}//'; exit "${1:-0}"; }
while [ $# -gt 0 ]; do
  case "$1" in
    --runs) runs=$2; shift 2 ;;
    --sizes) sizes=$2; shift 2 ;;
    --fun-size) fun_size=$2; shift 2 ;;
    --rotate-size) rotate_size=$2; shift 2 ;;   # 0: no large rotate
    --batch-files) batch_files=$2; shift 2 ;;   # 0: no batch
    --batch-size) batch_size=$2; shift 2 ;;
    --quick) runs=3; sizes="1024"; fun_size=1024; rotate_size=2000; batch_files=40; shift ;;
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
mogrify=/usr/bin/mogrify-im6.q16
gm=/usr/bin/gm
if [ ! -x "$im" ] || [ ! -x "$gm" ] || [ ! -x "$mogrify" ]; then
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
big_size=""
for s in $sizes; do big_size=$s; done
rotate_input=""
[ "$rotate_size" -gt 0 ] && rotate_input=$rotate_size
for s in $sizes $fun_size $rotate_input; do
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

# bmpfun runs held to one thread and on two; the command line's default is one thread per
# processor, which is two on the reference machine.
b1=("$bmpfun" --threads 1)
b2=("$bmpfun" --threads 2)
declare -a par_groups peer_groups   # "group|size" keys for the targets

for s in $sizes; do
  in=$(input "$s")
  begin_group "24-bit round trip" "${s}²"
  tool "bmpfun convert (1 thread)" 1 "${b1[@]}" convert "$in" "$o/rt-bmpfun.bmp" 24
  tool "bmpfun convert (2 threads)" 2 "${b2[@]}" convert "$in" "$o/rt-bmpfun2.bmp" 24
  tool "floor (read, unpack, pack, write)" 1 "$floor_rt" "$in" "$o/rt-floor.bmp"
  peer_pair "IM convert BMP3:" im "$in" "BMP3:$o/rt-im.bmp"
  peer_pair "gm convert BMP3:" gm "$in" "BMP3:$o/rt-gm.bmp"
  run_group
  par_groups+=("24-bit round trip|${s}²|bmpfun convert")
  peer_groups+=("24-bit round trip|${s}²|bmpfun convert (2 threads)|IM convert BMP3: (default)|gm convert BMP3: (default)")
done
# The floor does the same work: its file must equal bmpfun's to the byte.
cmp -s "$o/rt-bmpfun.bmp" "$o/rt-floor.bmp" || echo "compare.sh: warning: round-trip floor output differs from bmpfun's" >&2

# Writing 8 bits maps every pixel to its nearest entry of the default table.
if [ -n "$big_size" ]; then
  in=$(input "$big_size")
  begin_group "8-bit write" "${big_size}²"
  tool "bmpfun convert 24 (1 thread)" 1 "${b1[@]}" convert "$in" "$o/w24.bmp" 24
  tool "bmpfun convert 8 (1 thread)" 1 "${b1[@]}" convert "$in" "$o/w8.bmp" 8
  tool "bmpfun convert 8 (2 threads)" 2 "${b2[@]}" convert "$in" "$o/w8-2.bmp" 8
  run_group
fi

in=$(input "$fun_size")
half=$((fun_size / 2))
begin_group "fun 0 (sine wave)" "${fun_size}²"
tool "bmpfun fun 0 (1 thread)" 1 "${b1[@]}" fun "$in" "$o/f0-bmpfun.bmp" 0
tool "bmpfun fun 0 (2 threads)" 2 "${b2[@]}" fun "$in" "$o/f0-bmpfun2.bmp" 0
peer_pair "IM -wave" im "$in" -virtual-pixel white -interpolate nearest -wave "${half}x${fun_size}" "BMP3:$o/f0-im.bmp"
peer_pair "gm -wave" gm "$in" -wave "${half}x${fun_size}" "BMP3:$o/f0-gm.bmp"
run_group
par_groups+=("fun 0 (sine wave)|${fun_size}²|bmpfun fun 0")
peer_groups+=("fun 0 (sine wave)|${fun_size}²|bmpfun fun 0 (2 threads)|IM -wave (default)|gm -wave (default)")

begin_group "fun 1 (polar disc) and 2" "${fun_size}²"
tool "bmpfun fun 1 (1 thread)" 1 "${b1[@]}" fun "$in" "$o/f1-bmpfun.bmp" 1
tool "bmpfun fun 1 (2 threads)" 2 "${b2[@]}" fun "$in" "$o/f1-bmpfun2.bmp" 1
tool "bmpfun fun 2 (1 thread)" 1 "${b1[@]}" fun "$in" "$o/f2-bmpfun.bmp" 2
tool "bmpfun fun 2 (2 threads)" 2 "${b2[@]}" fun "$in" "$o/f2-bmpfun2.bmp" 2
tool "floor (atan2, sqrt, gather, store, I/O)" 1 "$floor_e1" "$in" "$o/f1-floor.bmp"
peer_pair "IM +distort Polar" im "$in" -virtual-pixel white -filter point -interpolate nearest \
  +distort Polar "$fun_size" "BMP3:$o/f1-im.bmp"
run_group
par_groups+=("fun 1 (polar disc) and 2|${fun_size}²|bmpfun fun 1" "fun 1 (polar disc) and 2|${fun_size}²|bmpfun fun 2")
peer_groups+=("fun 1 (polar disc) and 2|${fun_size}²|bmpfun fun 1 (2 threads)|IM +distort Polar (default)|"
              "fun 1 (polar disc) and 2|${fun_size}²|bmpfun fun 2 (2 threads)|IM +distort Polar (default)|")
# The floor's pixels must equal effect 1's (headers may differ in the resolution fields).
if ! cmp -s <(tail -c +55 "$o/f1-bmpfun.bmp") <(tail -c +55 "$o/f1-floor.bmp"); then
  echo "compare.sh: warning: effect-1 floor pixels differ from bmpfun's" >&2
fi

# One operation through `bmpfun apply` (or the command given) on 1 and 2 threads beside the
# peers' nearest operations: im_args and gm_args (empty: the peer has none). ONE_THREAD_PEER=1
# adds ImageMagick held to one thread too. Sequential operations get the 1-thread row only.
im_args=()
gm_args=()
op_row() {  # NAME KIND(parallel|sequential) BMPFUN-ARGS...  ("IN" and "OUT" are replaced)
  local name=$1 kind=$2
  shift 2
  local label="bmpfun $*" args=() a
  label=${label//IN /}
  label=${label// OUT/}
  begin_group "$name" "${fun_size}²"
  for a in "$@"; do case "$a" in IN) args+=("$in") ;; OUT) args+=("$o/op1.bmp") ;; *) args+=("$a") ;; esac; done
  tool "$label (1 thread)" 1 "${b1[@]}" "${args[@]}"
  if [ "$kind" = parallel ]; then
    args=()
    for a in "$@"; do case "$a" in IN) args+=("$in") ;; OUT) args+=("$o/op2.bmp") ;; *) args+=("$a") ;; esac; done
    tool "$label (2 threads)" 2 "${b2[@]}" "${args[@]}"
  fi
  local im_label="" gm_label=""
  if [ ${#im_args[@]} -gt 0 ]; then
    im_label="IM ${im_args[*]} (default)"
    [ "${ONE_THREAD_PEER:-0}" = 1 ] && tool "IM ${im_args[*]} (1 thread)" 1 "${one_thread[@]}" "$im" -limit thread 1 "$in" "${im_args[@]}" "BMP3:$o/opim.bmp"
    tool "$im_label" default "$im" "$in" "${im_args[@]}" "BMP3:$o/opim.bmp"
  fi
  if [ ${#gm_args[@]} -gt 0 ]; then
    gm_label="gm ${gm_args[*]} (default)"
    tool "$gm_label" default "$gm" convert "$in" "${gm_args[@]}" "BMP3:$o/opgm.bmp"
  fi
  run_group
  if [ "$kind" = parallel ]; then
    par_groups+=("$name|${fun_size}²|$label")
    peer_groups+=("$name|${fun_size}²|$label (2 threads)|$im_label|$gm_label")
  else
    peer_groups+=("$name|${fun_size}²|$label (1 thread)|$im_label|$gm_label")
  fi
  im_args=()
  gm_args=()
}
im_args=(-virtual-pixel white -filter point -distort SRT 30); gm_args=(-background white -rotate 30)
ONE_THREAD_PEER=1 op_row "rotate" parallel apply IN OUT rotate=30
im_args=(-sample 50%); gm_args=(-sample 50%)
ONE_THREAD_PEER=1 op_row "scale" parallel apply IN OUT scale=0.5,0.5
im_args=(-ordered-dither o4x4); gm_args=(-ordered-dither all 4x4)
ONE_THREAD_PEER=1 op_row "ordered dither" parallel apply IN OUT ordered-dither=1
im_args=(-filter Triangle -resize 50%); gm_args=(-filter Triangle -resize 50%)
op_row "rescale" parallel rescale IN OUT P 50
op_row "mosaic" parallel apply IN OUT mosaic=24
im_args=(-morphology Convolve Laplacian:0); gm_args=(-convolve -1,-1,-1,-1,8,-1,-1,-1,-1)
op_row "edge detect" parallel apply IN OUT edge-detect
# The card has no pure white with alpha 255 until quantize makes every alpha 255.
im_args=(-trim); gm_args=(-trim)
op_row "auto-crop" parallel apply IN OUT quantize=8 auto-crop
im_args=(-evaluate multiply 1.2); gm_args=(-operator All Multiply 1.2)
op_row "brightness" parallel apply IN OUT brightness=1.2
im_args=(-brightness-contrast 0x30); gm_args=(-contrast)
op_row "contrast" parallel apply IN OUT contrast=1.3
im_args=(-modulate 100,140); gm_args=(-modulate 100,140)
op_row "saturation" parallel apply IN OUT saturation=1.4
im_args=(-channel RB -evaluate set 0 +channel); gm_args=(-operator Red Assign 0 -operator Blue Assign 0)
op_row "extract channel" parallel apply IN OUT extract-channel=1
im_args=(-posterize 8)
op_row "quantize" parallel apply IN OUT quantize=3
im_args=(-morphology Convolve Binomial:2)
ONE_THREAD_PEER=1 op_row "blur" parallel apply IN OUT blur=5
im_args=(-dither FloydSteinberg -posterize 2)
ONE_THREAD_PEER=1 op_row "Floyd-Steinberg dither" parallel apply IN OUT floyd-steinberg-dither=1
im_args=(-sharpen 0x1); gm_args=(-sharpen 0x1)
op_row "sharpen" parallel apply IN OUT sharpen=5
im_args=(-crop 50%x50%+0+0 +repage); gm_args=(-crop 50%x50%+0+0)
op_row "crop" parallel apply IN OUT "crop=0,0,$((fun_size / 2)),$((fun_size / 2))"
# One random sequence drawn in column order: these stay on one thread.
im_args=(+noise Uniform); gm_args=(+noise Uniform)
op_row "noise" sequential apply IN OUT noise=0.2
im_args=(-random-threshold 0x100%)
op_row "random dither" sequential apply IN OUT random-dither=1

# rotate of a large square picture: the result must fit the default limit, and the peak
# memory is held against the input grid plus the output grid.
if [ "$rotate_size" -gt 0 ]; then
  in=$(input "$rotate_size")
  begin_group "rotate (large)" "${rotate_size}²"
  tool "bmpfun apply rotate=30 (1 thread)" 1 "${b1[@]}" apply "$in" "$o/rl1.bmp" rotate=30
  tool "bmpfun apply rotate=30 (2 threads)" 2 "${b2[@]}" apply "$in" "$o/rl2.bmp" rotate=30
  tool "IM -virtual-pixel white -filter point -distort SRT 30 (default)" default "$im" "$in" \
    -virtual-pixel white -filter point -distort SRT 30 "BMP3:$o/rlim.bmp"
  run_group
  rot_out_w=$(od -An -t d4 -j 18 -N 4 "$o/rl1.bmp" | tr -d ' ')
  rot_out_h=$(od -An -t d4 -j 22 -N 4 "$o/rl1.bmp" | tr -d ' ')
fi

# Many files: batch against a shell loop of single commands, and ImageMagick's mogrify.
if [ "$batch_files" -gt 0 ]; then
  bdir=$work/batch-in
  if [ ! -f "$bdir/f$batch_files.bmp" ]; then
    rm -rf "$bdir"
    mkdir -p "$bdir"
    "$bmpfun" testcard "$work/bcard.bmp" "$batch_size" "$batch_size"
    "$bmpfun" apply "$work/bcard.bmp" "$bdir/f0.bmp" noise=0.08
    for ((k = 1; k <= batch_files; k++)); do cp "$bdir/f0.bmp" "$bdir/f$k.bmp"; done
    rm -f "$bdir/f0.bmp" "$work/bcard.bmp"
  fi
  cat "$bdir"/*.bmp >/dev/null
  mkdir -p "$o/batch1" "$o/batch2" "$o/loop" "$o/mogrify"
  printf -v loop 'for f in %q/*.bmp; do %q fun "$f" %q/"${f##*/}" 1 || exit 1; done' "$bdir" "$bmpfun" "$o/loop"
  begin_group "batch: fun 1 on $batch_files files" "${batch_size}²"
  tool "bmpfun batch (1 thread)" 1 "${b1[@]}" batch "$o/batch1" fun=1 "$bdir"/*.bmp
  tool "bmpfun batch (2 threads)" 2 "${b2[@]}" batch "$o/batch2" fun=1 "$bdir"/*.bmp
  tool "shell loop of bmpfun fun" default bash -c "$loop"
  tool "IM mogrify +distort Polar (default)" default "$mogrify" -path "$o/mogrify" -format bmp \
    -virtual-pixel white -filter point -interpolate nearest +distort Polar "$batch_size" "$bdir"/*.bmp
  run_group
fi

end_load=$(cut -d' ' -f1-3 /proc/loadavg)

# ---------------------------------------------------------------- targets
# One table row per target: the figure and verdict on wall time, then on CPU time.
fmt() { awk "BEGIN {printf \"%.2f\", $1}"; }
verdict() { awk "BEGIN {exit !($1)}" && echo "met" || echo "**not met**"; }
get() { local -n metric=$1; echo "${metric[$2]:-}"; }
targets=()
for m in wall cpu; do
  declare -a "t_$m=()"
done
add_target() {  # METRIC TEXT FIGURE CONDITION
  local -n list="t_$1"
  list+=("$2|$(fmt "$3")|$(verdict "$4")")
}
for m in wall cpu; do
  # Two threads against one, for every operation that splits its work.
  for entry in "${par_groups[@]}"; do
    IFS='|' read -r g z label <<<"$entry"
    one=$(get $m "$g|$z|$label (1 thread)")
    two=$(get $m "$g|$z|$label (2 threads)")
    limit=0.65
    [ "$label" = "bmpfun fun 1" ] && limit=0.6
    add_target $m "${label#bmpfun } $z: 2 threads ÷ 1 thread ≤ $limit" "$two / $one" "$two <= $limit * $one"
  done
  # The faster peer at its default thread count against bmpfun at the command line's.
  for entry in "${peer_groups[@]}"; do
    IFS='|' read -r g z label imLabel gmLabel <<<"$entry"
    b=$(get $m "$g|$z|$label")
    peer=""
    for l in "$imLabel" "$gmLabel"; do
      [ -n "$l" ] || continue
      v=$(get $m "$g|$z|$l")
      if [ -z "$peer" ] || awk "BEGIN {exit !($v < $peer)}"; then peer=$v; fi
    done
    [ -n "$peer" ] || continue
    add_target $m "$g $z: faster peer (default) ÷ ${label#bmpfun } ≥ 2" "$peer / $b" "$peer >= 2 * $b"
  done
  if [ -n "$big_size" ]; then
    g="8-bit write|${big_size}²"
    w8=$(get $m "$g|bmpfun convert 8 (1 thread)")
    w24=$(get $m "$g|bmpfun convert 24 (1 thread)")
    add_target $m "convert 8 ÷ convert 24, ${big_size}², 1 thread (read included) ≤ 3" "$w8 / $w24" "$w8 <= 3 * $w24"
  fi
  if [ "$batch_files" -gt 0 ]; then
    g="batch: fun 1 on $batch_files files|${batch_size}²"
    bb=$(get $m "$g|bmpfun batch (2 threads)")
    sl=$(get $m "$g|shell loop of bmpfun fun")
    add_target $m "batch (2 threads) ÷ shell loop ≤ 0.6" "$bb / $sl" "$bb <= 0.6 * $sl"
  fi
  # The one-thread targets the project held before: against the peers held to one thread.
  if [ -n "$big_size" ]; then
    g="24-bit round trip|${big_size}²"
    b=$(get $m "$g|bmpfun convert (1 thread)")
    fl=$(get $m "$g|floor (read, unpack, pack, write)")
    pi=$(get $m "$g|IM convert BMP3: (1 thread)")
    pg=$(get $m "$g|gm convert BMP3: (1 thread)")
    peer=$(awk -v a="$pi" -v b="$pg" 'BEGIN {print (a < b) ? a : b}')
    add_target $m "Round trip ${big_size}², 1 thread: faster peer (1 thread) ÷ bmpfun ≥ 2" "$peer / $b" "$peer / $b >= 2"
    add_target $m "Round trip ${big_size}², 1 thread: bmpfun ÷ floor ≤ 1.3" "$b / $fl" "$b / $fl <= 1.3"
  fi
  g="fun 1 (polar disc) and 2|${fun_size}²"
  b1v=$(get $m "$g|bmpfun fun 1 (1 thread)")
  fl=$(get $m "$g|floor (atan2, sqrt, gather, store, I/O)")
  add_target $m "Effect 1, 1 thread: bmpfun ÷ floor ≤ 1.3" "$b1v / $fl" "$b1v / $fl <= 1.3"
done
for ((k = 0; k < ${#t_wall[@]}; k++)); do
  IFS='|' read -r text fw vw <<<"${t_wall[$k]}"
  IFS='|' read -r _ fc vc <<<"${t_cpu[$k]}"
  targets+=("| $text | $fw | $vw | $fc | $vc |")
done
if [ -n "$big_size" ]; then
  key="24-bit round trip|${big_size}²|bmpfun convert (1 thread)"
  grid=$(awk -v s="$big_size" 'BEGIN {print 4 * s * s / 1024}')
  targets+=("| Round trip ${big_size}² peak memory ÷ one RGBA grid ($(fmt "$grid / 1024") MiB) ≤ 1.3 | $(fmt "${mem[$key]} / $grid") | $(verdict "${mem[$key]} <= 1.3 * $grid") | | |")
fi
if [ "$rotate_size" -gt 0 ]; then
  for t in "1 thread" "2 threads"; do
    key="rotate (large)|${rotate_size}²|bmpfun apply rotate=30 ($t)"
    grids=$(awk -v s="$rotate_size" -v w="$rot_out_w" -v h="$rot_out_h" 'BEGIN {print 4 * (s * s + w * h) / 1024}')
    targets+=("| rotate=30 of ${rotate_size}² ($t, result ${rot_out_w} × ${rot_out_h}): peak ÷ (input + output grid, $(fmt "$grids / 1024") MiB) ≤ 2.5 | $(fmt "${mem[$key]} / $grids") | $(verdict "${mem[$key]} <= 2.5 * $grids") | | |")
  done
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
