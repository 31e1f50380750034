#!/usr/bin/env bash
# The main job on the built-in example: build bmpfun, draw the test card, warp it with the
# three fun effects and the mosaic, and write the results into demo/ (and the README's
# pictures into docs/images/).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
bash scripts/setup.sh demo
cmake -S . -B build/release -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBMPFUN_BUILD_TESTS=OFF -DBMPFUN_BUILD_BENCH=OFF >/dev/null
cmake --build build/release -j"$(nproc)" --target bmpfun
bin=build/release/bmpfun
out=demo
mkdir -p "$out" docs/images

"$bin" testcard "$out/card.bmp"
for bits in 1 4 8 16 24 32; do
  "$bin" convert "$out/card.bmp" "$out/card-$bits.bmp" "$bits"
done
echo "== header of the 8-bit test card ($out/card-8.bmp)"
"$bin" info "$out/card-8.bmp"

"$bin" fun "$out/card.bmp" "$out/fun0-sine-wave.bmp" 0
"$bin" fun "$out/card.bmp" "$out/fun1-polar-disc.bmp" 1
"$bin" fun "$out/card.bmp" "$out/fun2-polar-mapping.bmp" 2
"$bin" apply "$out/card.bmp" "$out/mosaic-24.bmp" mosaic=24
"$bin" apply "$out/card.bmp" "$out/rotate-30.bmp" sampling=1 rotate=30
"$bin" apply "$out/card.bmp" "$out/floyd-steinberg-1.bmp" floyd-steinberg-dither=1
"$bin" apply "$out/card.bmp" "$out/edge-detect.bmp" edge-detect

# The README shows PNG copies (browsers do not all draw BMP files).
for f in card fun0-sine-wave fun1-polar-disc fun2-polar-mapping mosaic-24 rotate-30 floyd-steinberg-1 edge-detect; do
  python3 scripts/bmp_to_png.py "$out/$f.bmp" "docs/images/$f.png"
done
echo "demo: wrote $(ls "$out" | wc -l) files into $root/$out (pictures also in docs/images/)"
