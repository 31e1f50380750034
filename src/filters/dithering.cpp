// Dithering: reduce every colour channel to nbits bits per channel and hide the banding that
// plain quantization leaves. All three work in the image's own pixel array, allocate nothing,
// and take nbits outside 1..8 as the nearest of 1 and 8, as Pixel::quantize does.
#include <bmpfun/image.hpp>

#include <algorithm>

namespace bmpfun {

namespace {

int32_t clampBits(int32_t nbits) {
  return std::clamp(nbits, 1, 8);
}

// The 4 x 4 ordered-dither thresholds (in 16ths of a level), indexed [x mod 4][y mod 4]:
// the first index follows the pixel's column, the second its row.
constexpr int32_t kOrderedThresholds[4][4] = {
    {15, 7, 13, 5},
    {3, 11, 1, 9},
    {12, 4, 14, 6},
    {0, 8, 2, 10},
};

// Error-diffusion weights: 7/16 right, 3/16 below left, 5/16 below, 1/16 below right.
constexpr double kShareRight = 0.4375;
constexpr double kShareBelowLeft = 0.1875;
constexpr double kShareBelow = 0.3125;
constexpr double kShareBelowRight = 0.0625;

// One channel of the ordered dither: keep the quantized level unless the pixel lies more
// than the threshold above it; then take the next level up, computed as level + step in
// single precision and truncated (which need not be a level quantize itself would give:
// at 3 bits, 72 + 36.43 gives 108, not 109), never above 255.
uint8_t orderedChannel(uint8_t value, uint8_t level, int32_t threshold, float step) {
  const int32_t residual = int32_t{value} - int32_t{level};
  if (residual <= threshold) return level;
  const float next = static_cast<float>(level) + step;
  return static_cast<uint8_t>(std::min(static_cast<int32_t>(next), 255));
}

}  // namespace

void Image::randomDither(int32_t nbits) {
  const int32_t bits = clampBits(nbits);
  // Column by column: the visiting order decides which random draws each pixel gets.
  for (int32_t x = 0; x < width_; ++x) {
    for (int32_t y = 0; y < height_; ++y) {
      Pixel& p = pixel(x, y);
      const Pixel noise = Pixel::random();
      const Pixel blend = p.scaleBy(0.5).add(noise.scaleBy(0.5));
      p = blend.quantize(bits);
    }
  }
}

void Image::orderedDither(int32_t nbits) {
  const int32_t bits = clampBits(nbits);
  const int32_t shift = 8 - bits;
  const float step = 255.0f / static_cast<float>(255 >> shift);
  for (int32_t x = 0; x < width_; ++x) {
    for (int32_t y = 0; y < height_; ++y) {
      Pixel& p = pixel(x, y);
      const int32_t threshold = (kOrderedThresholds[x % 4][y % 4] << shift) / 16;
      const Pixel q = p.quantize(bits);
      p.r = orderedChannel(p.r, q.r, threshold, step);
      p.g = orderedChannel(p.g, q.g, threshold, step);
      p.b = orderedChannel(p.b, q.b, threshold, step);
      // Alpha keeps its value: the quantized pixel's 255 is not stored.
    }
  }
}

void Image::FloydSteinbergDither(int32_t nbits) {
  const int32_t bits = clampBits(nbits);
  // Adds one share of the error to a neighbour, each channel rounded by itself.
  auto pass = [this](int32_t x, int32_t y, Pixel error, double weight) {
    Pixel& target = pixel(x, y);
    target = target.add(error.scaleBy(weight));
  };
  // Row by row, left to right: each pixel is quantized with the errors already passed to it.
  for (int32_t y = 0; y < height_; ++y) {
    for (int32_t x = 0; x < width_; ++x) {
      Pixel& p = pixel(x, y);
      const Pixel q = p.quantize(bits);
      // Saturating difference: a level above the pixel gives error 0, never a negative one.
      // The alpha error is 0 since q's alpha is 255.
      const Pixel error = p.subtract(q);
      p = q;
      // Neighbours outside the image simply get nothing; their weight is not redistributed.
      const bool hasRight = x + 1 < width_;
      const bool hasBelow = y + 1 < height_;
      if (hasRight) pass(x + 1, y, error, kShareRight);
      if (hasBelow) {
        if (x > 0) pass(x - 1, y + 1, error, kShareBelowLeft);
        pass(x, y + 1, error, kShareBelow);
        if (hasRight) pass(x + 1, y + 1, error, kShareBelowRight);
      }
    }
  }
}

}  // namespace bmpfun
