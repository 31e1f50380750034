// Deterministic benchmark inputs: a photo-like picture made by the benchmark itself, so every
// run and every machine measures the same pixels.
#pragma once
#include <bmpfun/bmp.hpp>
#include <bmpfun/image.hpp>

#include <cstdint>
#include <memory>

namespace bmpfun::bench {

// A size x size picture: smooth colour gradients, per-pixel noise, hard-edged shapes (a dark
// block, a bright disc, a band of stripes) and a white (255, 255, 255, 255) frame a 32nd of
// the side wide, so autoCrop has a border to find. Alpha is 255 everywhere.
std::unique_ptr<Image> makePhoto(int32_t size);

// The same picture as a Bitmap at the given depth (1/4/8 get the default colour table; the
// grid keeps full colour, as after a load and changeBitsPerPixel).
Bitmap makeBitmap(const Image& photo, int32_t bitsPerPixel);

}  // namespace bmpfun::bench
