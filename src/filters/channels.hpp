// Channel arithmetic for the filters' inner loops: the rounding of the pixel arithmetic
// written inline, and per-byte tables of it, so a loop over millions of pixels makes no
// call per channel. Every table entry is computed by the pixel arithmetic itself.
#pragma once
#include <bmpfun/pixel.hpp>

#include <cstddef>
#include <cstdint>

namespace bmpfun::channels {

// clamp(floor(v + 0.5)) as the pixel arithmetic computes it, without the floor: for
// u = v + 0.5 >= 0, floor and truncation agree, so clamping u into 0 .. 255 first and
// truncating gives the same byte; any u below 0 has a floor of -1 or less and gives 0, and
// NaN fails the first comparison and gives 0 too.
inline uint8_t roundToChannel(double v) {
  const double u = v + 0.5;
  const double low = u > 0.0 ? u : 0.0;
  const double clamped = low < 255.0 ? low : 255.0;
  return static_cast<uint8_t>(static_cast<int32_t>(clamped));
}

// min(255, x + y).
inline uint8_t saturatingAdd(uint8_t x, uint8_t y) {
  const int32_t sum = int32_t{x} + int32_t{y};
  return static_cast<uint8_t>(sum > 255 ? 255 : sum);
}

// A byte-to-byte function tabulated once: 256 bytes, fine on the stack.
struct ByteTable {
  uint8_t of[256];
  template <typename F>
  explicit ByteTable(F&& f) : of{} {
    for (size_t c = 0; c < 256; ++c) of[c] = f(static_cast<uint8_t>(c));
  }
  uint8_t operator[](uint8_t c) const { return of[c]; }
};

// scaleChannel(c, f) for every byte c.
inline ByteTable scaleTable(double f) {
  return ByteTable([f](uint8_t c) { return scaleChannel(c, f); });
}

}  // namespace bmpfun::channels
