// The project's own test card, so every operation has something visible to work on.
#pragma once
#include <bmpfun/bmp.hpp>

namespace bmpfun {

constexpr int32_t kTestCardWidth = 320;
constexpr int32_t kTestCardHeight = 240;

// Draw the card into bitmap (24 bits, width x height): colour bars, a grey ramp, a hue sweep,
// a grid and concentric rings. False when the grid cannot be allocated within limits.
bool drawTestCard(Bitmap& bitmap, int32_t width, int32_t height, const Limits& limits);

}  // namespace bmpfun
