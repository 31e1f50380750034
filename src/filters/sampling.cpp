// The resampler behind every warp: colour of an image at a real position. Runs once per
// output pixel, so it allocates nothing and branches once on the method.
#include <bmpfun/image.hpp>

#include <algorithm>
#include <cmath>

namespace bmpfun {

namespace {

constexpr Pixel kWhite{255, 255, 255, 255};
constexpr Pixel kOpaqueBlack{0, 0, 0, 255};

// floor(v) as an int32 when it fits; false for NaN, infinities and anything beyond int32.
bool floorToInt(double v, int32_t& out) {
  const double f = std::floor(v);
  if (!(f >= -2147483648.0 && f <= 2147483647.0)) return false;
  out = static_cast<int32_t>(f);
  return true;
}

// Inside test shared by point and gaussian sampling; NaN fails every comparison.
bool insideReal(double x, double y, int32_t width, int32_t height) {
  return x >= 0.0 && y >= 0.0 && x < static_cast<double>(width) &&
         y < static_cast<double>(height);
}

}  // namespace

Pixel Image::sample(double x, double y) const {
  switch (samplingMethod_) {
    case kPoint: {
      if (!insideReal(x, y, width_, height_)) return kWhite;
      return pixel(static_cast<int32_t>(x), static_cast<int32_t>(y));
    }

    case kBilinear: {
      int32_t x0 = 0;
      int32_t y0 = 0;
      if (!floorToInt(x, x0) || !floorToInt(y, y0)) return kWhite;
      if (x0 < 0 || y0 < 0 || int64_t{x0} + 1 > width_ || int64_t{y0} + 1 > height_) return kWhite;
      const double fx0 = static_cast<double>(x0);
      const double fy0 = static_cast<double>(y0);
      int32_t left = x0;
      int32_t right = x0 + 1;
      double wL = static_cast<double>(x0 + 1) - x;
      const double wR = x - fx0;
      if (x0 + 1 == width_) {
        // Last column: the cell shifts one column left while the weights keep their form.
        // A one-pixel-wide image has no column to the left; column 0 stands in.
        left = std::max(x0 - 1, 0);
        right = x0;
        wL = (fx0 - x) + 1.0;
      }
      int32_t top = y0;
      int32_t bottom = y0 + 1;
      double wT = static_cast<double>(y0 + 1) - y;
      const double wB = y - fy0;
      if (y0 + 1 == height_) {
        top = std::max(y0 - 1, 0);
        bottom = y0;
        wT = (fy0 - y) + 1.0;
      }
      // Column weight first, then row weight: two roundings per term.
      const Pixel tl = pixel(left, top).scaleBy(wL).scaleBy(wT);
      const Pixel bl = pixel(left, bottom).scaleBy(wL).scaleBy(wB);
      const Pixel tr = pixel(right, top).scaleBy(wR).scaleBy(wT);
      const Pixel br = pixel(right, bottom).scaleBy(wR).scaleBy(wB);
      return tl.add(bl).add(tr).add(br);
    }

    case kGaussian: {
      // Outside stays white: the window's contributions could only add to 255s.
      if (!insideReal(x, y, width_, height_)) return kWhite;
      // Inside means 0 <= x < width, so both floors fit comfortably.
      const int64_t cx = static_cast<int64_t>(std::floor(x - 2.5));
      const int64_t cy = static_cast<int64_t>(std::floor(y - 2.5));
      const int64_t firstColumn = std::max<int64_t>(cx, 0);
      const int64_t lastColumn = std::min<int64_t>(cx + 5, width_) - 1;
      const int64_t firstRow = std::max<int64_t>(cy, 0);
      const int64_t lastRow = std::min<int64_t>(cy + 5, height_) - 1;
      // Clipped window cells are dropped without renormalising, so borders come out darker.
      Pixel sum{0, 0, 0, 255};
      for (int64_t i = firstColumn; i <= lastColumn; ++i) {
        for (int64_t j = firstRow; j <= lastRow; ++j) {
          const double weight = kBinomialMask5[i - cx][j - cy];
          sum = sum.add(pixel(static_cast<int32_t>(i), static_cast<int32_t>(j)).scaleBy(weight));
        }
      }
      return sum;
    }

    default:
      return kOpaqueBlack;
  }
}

}  // namespace bmpfun
