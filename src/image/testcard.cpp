#include <bmpfun/testcard.hpp>

#include <algorithm>
#include <cmath>

namespace bmpfun {
namespace {

BitmapPixel rgb(int r, int g, int b) {
  return BitmapPixel{static_cast<uint8_t>(b), static_cast<uint8_t>(g), static_cast<uint8_t>(r), 0};
}

// Fully saturated hue h in [0, 1).
BitmapPixel hue(double h) {
  const double s = h * 6.0;
  const int sector = static_cast<int>(s) % 6;
  const int rise = static_cast<int>((s - std::floor(s)) * 255.0);
  const int fall = 255 - rise;
  switch (sector) {
    case 0: return rgb(255, rise, 0);
    case 1: return rgb(fall, 255, 0);
    case 2: return rgb(0, 255, rise);
    case 3: return rgb(0, fall, 255);
    case 4: return rgb(rise, 0, 255);
    default: return rgb(255, 0, fall);
  }
}

}  // namespace

bool drawTestCard(Bitmap& bitmap, int32_t width, int32_t height, const Limits& limits) {
  if (!bitmap.changeBitsPerPixel(24) || !bitmap.resize(width, height, limits)) return false;
  static const BitmapPixel bars[] = {rgb(255, 255, 255), rgb(255, 255, 0), rgb(0, 255, 255),
                                     rgb(0, 255, 0),     rgb(255, 0, 255), rgb(255, 0, 0),
                                     rgb(0, 0, 255),     rgb(0, 0, 0)};
  const int32_t barsEnd = height * 3 / 10, rampEnd = height * 9 / 20, hueEnd = height * 6 / 10;
  const double cx = width / 2.0, cy = (hueEnd + height) / 2.0;
  const double ringSpacing = std::max(4.0, std::min(width, height) / 20.0);
  const int32_t grid = std::max(8, std::min(width, height) / 15);

  for (int32_t y = 0; y < height; ++y) {
    for (int32_t x = 0; x < width; ++x) {
      const double fx = width > 1 ? static_cast<double>(x) / (width - 1) : 0.0;
      BitmapPixel p;
      if (y < barsEnd) {
        p = bars[std::min<int64_t>(7, int64_t{x} * 8 / width)];
      } else if (y < rampEnd) {
        const int v = static_cast<int>(fx * 255.0 + 0.5);
        p = rgb(v, v, v);
      } else if (y < hueEnd) {
        p = hue(std::min(fx, 0.999999));
      } else {
        // Dark field with a grid and concentric rings whose colour turns with the angle.
        const double dx = x - cx, dy = y - cy;
        const double r = std::sqrt(dx * dx + dy * dy);
        const double ring = std::fmod(r, ringSpacing);
        const bool onRing = ring < ringSpacing * 0.35;
        const bool onGrid = (x % grid) == 0 || ((y - hueEnd) % grid) == 0;
        if (onRing) {
          const double a = (std::atan2(dy, dx) + 3.14159265358979) / (2 * 3.14159265358979);
          p = hue(std::min(std::max(a, 0.0), 0.999999));
        } else if (onGrid) {
          p = rgb(230, 230, 230);
        } else {
          const int shade = 24 + static_cast<int>(fx * 40.0);
          p = rgb(shade, shade, shade + 16);
        }
      }
      bitmap.putPixel(x, y, p);
    }
  }
  return true;
}

}  // namespace bmpfun
