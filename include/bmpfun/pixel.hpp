// Pixel arithmetic: the rounding and clamping rules that fix every filter's output.
//
// Channels are unsigned bytes. A real becomes a channel by truncation toward zero and then
// clamping into 0..255; rounding, where wanted, is floor(v + 0.5). Reals that are not finite
// or do not fit 32 bits saturate: NaN gives 0, large positive 255, large negative 0.
#pragma once
#include <cstdint>

namespace bmpfun {

// clamp(v) into 0..255.
constexpr uint8_t clampChannel(int32_t v) {
  return static_cast<uint8_t>(v < 0 ? 0 : (v > 255 ? 255 : v));
}
// Truncate toward zero, then clamp (saturating for NaN, infinities and huge values).
uint8_t realToChannel(double v);
// rand() mod 256, from the C runtime's generator, which the library never seeds.
uint8_t randomChannel();
// Restarts the generator randomChannel draws from at its first draw, as in a process that
// never seeded it (srand(1)): a host that wants a run's noise to equal a fresh program's
// calls it before the run. The library itself never seeds the generator.
void restartRandomSequence();
// clamp(floor(c * f + 0.5)) in double precision.
uint8_t scaleChannel(uint8_t c, double f);
// clamp(floor(((1 - t) * x + y * t) + 0.5)) in double precision, in that order.
uint8_t lerpChannel(uint8_t x, uint8_t y, double t);

// Four channels r, g, b, a; alpha is an ordinary fourth channel in all arithmetic.
// A new pixel is opaque black (0, 0, 0, 255).
struct Pixel {
  uint8_t r = 0;
  uint8_t g = 0;
  uint8_t b = 0;
  uint8_t a = 255;

  // Four draws of randomChannel, stored to a, b, g, r in that order.
  static Pixel random();

  Pixel add(Pixel q) const;       // min(p + q, 255) per channel
  Pixel subtract(Pixel q) const;  // max(p - q, 0) per channel
  Pixel product(Pixel q) const;   // min(p * q, 255) on raw byte values
  Pixel scaleBy(double f) const;  // scaleChannel per channel
  Pixel lerp(Pixel q, double t) const;  // lerpChannel(p.c, q.c, t) per channel
  uint8_t luminance() const;      // (76 r + 150 g + 29 b) >> 8; white gives 254
  bool equals(Pixel q) const;     // all four channels equal
  // r, g, b reduced to n bits (n clamped into 1..8) with a single-precision level step and
  // products, truncated; alpha becomes 255.
  Pixel quantize(int32_t n) const;
  void set(int32_t r, int32_t g, int32_t b);  // low 8 bits of each; alpha unchanged
  void setClamped(double r, double g, double b);  // realToChannel; alpha unchanged
  void setClamped(double r, double g, double b, double a);

  friend constexpr bool operator==(const Pixel&, const Pixel&) = default;
};

}  // namespace bmpfun
