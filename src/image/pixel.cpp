// Pixel arithmetic. Every filter's exact output follows from the rounding here, so each
// expression is written out step by step in the order the results depend on (the build
// forbids contraction into fused multiply-adds).
#include <bmpfun/pixel.hpp>

#include "image/c_random.hpp"

#include <cmath>

namespace bmpfun {

uint8_t realToChannel(double v) {
  // Anything truncating to 0 or below gives 0 (NaN fails the comparison and lands here too);
  // anything at 256 or above gives 255. What is left fits an int32, so the cast is defined.
  if (!(v > -1.0)) return 0;
  if (v >= 256.0) return 255;
  return clampChannel(static_cast<int32_t>(v));
}

uint8_t randomChannel() {
  return static_cast<uint8_t>(detail::runtimeRand() % 256);
}

void restartRandomSequence() { detail::seedRuntimeRand(1); }

uint8_t scaleChannel(uint8_t c, double f) {
  const double product = static_cast<double>(c) * f;
  return realToChannel(std::floor(product + 0.5));
}

uint8_t lerpChannel(uint8_t x, uint8_t y, double t) {
  const double keep = 1.0 - t;
  const double fromX = keep * static_cast<double>(x);
  const double fromY = static_cast<double>(y) * t;
  const double sum = fromX + fromY;
  return realToChannel(std::floor(sum + 0.5));
}

Pixel Pixel::random() {
  Pixel p;
  p.a = randomChannel();
  p.b = randomChannel();
  p.g = randomChannel();
  p.r = randomChannel();
  return p;
}

namespace {

uint8_t addChannel(uint8_t x, uint8_t y) {
  return clampChannel(int32_t{x} + int32_t{y});
}
uint8_t subtractChannel(uint8_t x, uint8_t y) {
  return clampChannel(int32_t{x} - int32_t{y});
}
uint8_t productChannel(uint8_t x, uint8_t y) {
  return clampChannel(int32_t{x} * int32_t{y});
}

// One quantised channel: level times the single-precision step, product kept in single
// precision, then truncated like any other real.
uint8_t quantizeChannel(uint8_t c, int32_t shift, float step) {
  const int32_t level = c >> shift;
  const float value = static_cast<float>(level) * step;
  return realToChannel(static_cast<double>(value));
}

}  // namespace

Pixel Pixel::add(Pixel q) const {
  return {addChannel(r, q.r), addChannel(g, q.g), addChannel(b, q.b), addChannel(a, q.a)};
}

Pixel Pixel::subtract(Pixel q) const {
  return {subtractChannel(r, q.r), subtractChannel(g, q.g), subtractChannel(b, q.b),
          subtractChannel(a, q.a)};
}

Pixel Pixel::product(Pixel q) const {
  return {productChannel(r, q.r), productChannel(g, q.g), productChannel(b, q.b),
          productChannel(a, q.a)};
}

Pixel Pixel::scaleBy(double f) const {
  return {scaleChannel(r, f), scaleChannel(g, f), scaleChannel(b, f), scaleChannel(a, f)};
}

Pixel Pixel::lerp(Pixel q, double t) const {
  return {lerpChannel(r, q.r, t), lerpChannel(g, q.g, t), lerpChannel(b, q.b, t),
          lerpChannel(a, q.a, t)};
}

uint8_t Pixel::luminance() const {
  // The weights add up to 255, so white comes out at 254.
  const int32_t sum = 76 * int32_t{r} + 150 * int32_t{g} + 29 * int32_t{b};
  return static_cast<uint8_t>(sum >> 8);
}

bool Pixel::equals(Pixel q) const {
  return r == q.r && g == q.g && b == q.b && a == q.a;
}

Pixel Pixel::quantize(int32_t n) const {
  // Outside 1..8 there would be no levels (or a negative shift); use the nearest valid count.
  const int32_t bits = n < 1 ? 1 : (n > 8 ? 8 : n);
  const int32_t shift = 8 - bits;
  const int32_t levels = 255 >> shift;
  const float step = 255.0f / static_cast<float>(levels);
  return {quantizeChannel(r, shift, step), quantizeChannel(g, shift, step),
          quantizeChannel(b, shift, step), 255};
}

void Pixel::set(int32_t red, int32_t green, int32_t blue) {
  // Keep the low byte of each: 300 -> 44, -1 -> 255.
  r = static_cast<uint8_t>(red);
  g = static_cast<uint8_t>(green);
  b = static_cast<uint8_t>(blue);
}

void Pixel::setClamped(double red, double green, double blue) {
  r = realToChannel(red);
  g = realToChannel(green);
  b = realToChannel(blue);
}

void Pixel::setClamped(double red, double green, double blue, double alpha) {
  setClamped(red, green, blue);
  a = realToChannel(alpha);
}

}  // namespace bmpfun
