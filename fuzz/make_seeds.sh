#!/usr/bin/env bash
# Write the seed inputs of every target into build/fuzz/seeds/<target>/ (made afresh) and
# add them to the working corpora build/fuzz/corpus/<target>/ (which the fuzzers grow).
# Seeds: the shared BMP suite, plus test cards written by the project's own command-line
# program (build/fuzz/bmpfun, or $BMPFUN_SEED_TOOL) at every depth and a few small sizes.
# The shared folder is only read.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BMPFUN_FUZZ_BUILD:-$root/build/fuzz}
testdata=${BMPFUN_TESTDATA:-$root/../shared/testdata}
tool=${BMPFUN_SEED_TOOL:-$build/bmpfun}
targets=(reader extended header image entry)

plain=$build/seeds/plain
rm -rf "$build/seeds"
mkdir -p "$plain"

# The shared suite, flattened (subfolder names keep the file names apart).
if [ -d "$testdata/bmpsuite" ]; then
  while IFS= read -r -d '' f; do
    rel=${f#"$testdata/bmpsuite/"}
    cp "$f" "$plain/suite-${rel//\//-}"
  done < <(find "$testdata/bmpsuite" -type f -iname '*.bmp' -print0)
else
  echo "make_seeds: $testdata/bmpsuite not found; using generated seeds only" >&2
fi

# Test cards at a few sizes (odd widths exercise row padding and partial bytes), every depth.
# The sanitizer-built tool reports leaks like any other run; its exit status is checked.
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1}
for size in "1 1" "3 2" "7 5" "16 12" "33 9" "64 48"; do
  set -- $size
  card=$plain/card-$1x$2.bmp
  "$tool" testcard "$card" "$1" "$2" >/dev/null
  for bits in 1 4 8 16 32 32a; do
    "$tool" convert "$card" "$plain/card-$1x$2-$bits.bmp" "$bits" >/dev/null
  done
done
"$tool" rescale "$plain/card-64x48.bmp" "$plain/card-rescaled-w20.bmp" W 20 >/dev/null

for t in "${targets[@]}"; do mkdir -p "$build/seeds/$t"; done
cp "$plain"/*.bmp "$build/seeds/reader/"
cp "$plain"/*.bmp "$build/seeds/extended/"
cp "$plain"/*.bmp "$build/seeds/image/"
cp "$plain"/*.bmp "$build/seeds/entry/"
# The header target reads a mode byte, a value-form byte and four value bytes first.
prefixes=('P\x00\x32\x00\x00\x00' 'W\x00\x0a\x00\x00\x00' 'H\x00\x05\x00\x00\x00' 'F\x00\x10\x00\x00\x00'
          'p\x03\x9c\xff\xff\xff' 'x\x00\x01\x00\x00\x00' 'w\x01\x00\x80\x00\x00' 'h\x03\xff\xff\xff\x7f')
i=0
for f in "$plain"/*.bmp; do
  p=${prefixes[$((i % ${#prefixes[@]}))]}
  { printf "$p"; cat "$f"; } >"$build/seeds/header/$(basename "$f")"
  i=$((i + 1))
done
rm -rf "$plain"

for t in "${targets[@]}"; do
  mkdir -p "$build/corpus/$t"
  cp -n "$build/seeds/$t"/* "$build/corpus/$t/" 2>/dev/null || true
done
echo "make_seeds: $(ls "$build/seeds/reader" | wc -l) seed files per target"
