#include "bench_inputs.hpp"

#include <cmath>

namespace bmpfun::bench {
namespace {

// A 32-bit integer hash (lowbias32): decorrelated noise without any generator state.
uint32_t hash32(uint32_t v) {
  v ^= v >> 16;
  v *= 0x7feb352dU;
  v ^= v >> 15;
  v *= 0x846ca68bU;
  v ^= v >> 16;
  return v;
}

uint8_t toByte(int32_t v) { return static_cast<uint8_t>(v < 0 ? 0 : (v > 255 ? 255 : v)); }

}  // namespace

std::unique_ptr<Image> makePhoto(int32_t size) {
  auto image = Image::create(size, size);
  if (!image) return image;
  const int32_t frame = size / 32;
  const double n = static_cast<double>(size);
  const double discX = n * 0.65, discY = n * 0.4, discR = n * 0.18;
  for (int32_t y = 0; y < size; ++y) {
    for (int32_t x = 0; x < size; ++x) {
      Pixel& p = image->pixel(x, y);
      if (x < frame || y < frame || x >= size - frame || y >= size - frame) {
        p = Pixel{255, 255, 255, 255};
        continue;
      }
      const double fx = x / n, fy = y / n;
      double r = 40.0 + 180.0 * fx;
      double g = 60.0 + 150.0 * fy;
      double b = 128.0 + 90.0 * std::sin(6.0 * fx + 4.0 * fy);
      const double dx = x - discX, dy = y - discY;
      if (dx * dx + dy * dy < discR * discR) {
        r = 250.0, g = 220.0, b = 90.0;  // bright disc
      } else if (fx > 0.15 && fx < 0.45 && fy > 0.55 && fy < 0.85) {
        r = 30.0, g = 35.0, b = 50.0;  // dark block
      } else if (fy > 0.1 && fy < 0.2 && ((x / 8) % 2) == 0) {
        r = 240.0, g = 240.0, b = 240.0;  // stripes
      }
      const uint32_t noise = hash32(static_cast<uint32_t>(y) * 65537U + static_cast<uint32_t>(x));
      const auto jitter = [noise](int shift) {
        return static_cast<int32_t>((noise >> shift) & 31U) - 16;
      };
      p = Pixel{toByte(static_cast<int32_t>(r) + jitter(0)),
                toByte(static_cast<int32_t>(g) + jitter(8)),
                toByte(static_cast<int32_t>(b) + jitter(16)), 255};
    }
  }
  return image;
}

Bitmap makeBitmap(const Image& photo, int32_t bitsPerPixel) {
  Bitmap bitmap;
  bitmap.resize(photo.width(), photo.height());
  bitmap.changeBitsPerPixel(bitsPerPixel);
  BitmapPixel* target = bitmap.data();
  for (const Pixel& p : photo.pixels()) *target++ = BitmapPixel{p.b, p.g, p.r, p.a};
  return bitmap;
}

}  // namespace bmpfun::bench
