// Per-pixel colour adjustments, in place. Each is defined column by column (x outer,
// y inner), but only noise can tell, because it draws its random pixels in that order; the
// others depend on each pixel's own value alone, so they run along the rows, split over the
// image's threads. Every one turns its factor into per-byte tables (computed with the pixel
// arithmetic itself) before the loop.
#include <bmpfun/image.hpp>

#include <cstddef>

#include "filters/channels.hpp"
#include "base/parallel.hpp"

namespace bmpfun {

namespace {

using channels::ByteTable;

// Replace every pixel p by f(p). f sees one pixel's value and nothing else, so any split
// of the array over threads gives the same image. cost: f's nanoseconds per pixel.
template <typename F>
void eachPixel(Image& image, double cost, F&& f) {
  Pixel* const pixels = image.pixels().data();
  const auto count = static_cast<int64_t>(image.pixels().size());
  detail::forEachChunk(image.limits(), count, cost, [&f, pixels](int64_t first, int64_t end) {
    for (auto k = static_cast<size_t>(first); k < static_cast<size_t>(end); ++k) {
      pixels[k] = f(pixels[k]);
    }
  });
}

constexpr uint8_t kContrastGrey = 123;

}  // namespace

void Image::noise(double factor) {
  // One random pixel per image pixel, whatever the factor, so the generator advances by
  // 4 x width x height, column by column. The scaled noise is clamped at 0 before the add:
  // it only brightens.
  const ByteTable scale = channels::scaleTable(factor);
  for (int32_t x = 0; x < width_; ++x) {
    for (int32_t y = 0; y < height_; ++y) {
      Pixel& p = pixel(x, y);
      const Pixel n = Pixel::random();
      p = Pixel{channels::saturatingAdd(p.r, scale[n.r]), channels::saturatingAdd(p.g, scale[n.g]),
                channels::saturatingAdd(p.b, scale[n.b]), channels::saturatingAdd(p.a, scale[n.a])};
    }
  }
}

void Image::brightness(double factor) {
  const ByteTable scale = channels::scaleTable(factor);
  eachPixel(*this, 1.0, [&scale](Pixel p) {
    return Pixel{scale[p.r], scale[p.g], scale[p.b], scale[p.a]};
  });
}

void Image::contrast(double factor) {
  // From a fixed grey of 123 (not 128; alpha 255) toward the pixel.
  const ByteTable colour([factor](uint8_t c) { return lerpChannel(kContrastGrey, c, factor); });
  const ByteTable alpha([factor](uint8_t c) { return lerpChannel(255, c, factor); });
  eachPixel(*this, 1.0, [&](Pixel p) {
    return Pixel{colour[p.r], colour[p.g], colour[p.b], alpha[p.a]};
  });
}

void Image::saturation(double factor) {
  // From the pixel's own grey l (keeping its alpha) toward the pixel: lerpChannel(l, c, t)
  // is round((1 - t) * l + c * t), whose two products depend on one byte each.
  double fromGrey[256];
  double fromPixel[256];
  const double keep = 1.0 - factor;
  for (size_t c = 0; c < 256; ++c) {
    fromGrey[c] = keep * static_cast<double>(c);
    fromPixel[c] = static_cast<double>(c) * factor;
  }
  const ByteTable alpha([factor](uint8_t c) { return lerpChannel(c, c, factor); });
  eachPixel(*this, 6.0, [&](Pixel p) {
    const double grey = fromGrey[p.luminance()];
    return Pixel{channels::roundToChannel(grey + fromPixel[p.r]),
                 channels::roundToChannel(grey + fromPixel[p.g]),
                 channels::roundToChannel(grey + fromPixel[p.b]), alpha[p.a]};
  });
}

void Image::extractChannel(int32_t channel) {
  if (channel < 0 || channel > 3) return;  // no such channel: nothing changes
  eachPixel(*this, 1.0, [channel](Pixel p) {
    switch (channel) {
      case 0: return Pixel{p.r, 0, 0, 0};
      case 1: return Pixel{0, p.g, 0, 0};
      case 2: return Pixel{0, 0, p.b, 0};
      default: return Pixel{0, 0, 0, p.a};
    }
  });
}

void Image::quantize(int32_t nbits) {
  // The same reduction for r, g and b; alpha becomes 255.
  const ByteTable level([nbits](uint8_t c) { return Pixel{c, c, c, 0}.quantize(nbits).r; });
  eachPixel(*this, 1.0, [&level](Pixel p) { return Pixel{level[p.r], level[p.g], level[p.b], 255}; });
}

}  // namespace bmpfun
