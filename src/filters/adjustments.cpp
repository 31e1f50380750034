// Per-pixel colour adjustments, in place. Each visits the image column by column (x outer,
// y inner); only noise can tell, because it draws its random pixels in that order.
#include <bmpfun/image.hpp>

namespace bmpfun {

namespace {

// Replace every pixel p by f(p), column by column.
template <typename F>
void eachPixelByColumn(Image& image, F&& f) {
  for (int32_t x = 0; x < image.width(); ++x) {
    for (int32_t y = 0; y < image.height(); ++y) {
      Pixel& p = image.pixel(x, y);
      p = f(p);
    }
  }
}

constexpr Pixel kContrastGrey{123, 123, 123, 255};

}  // namespace

void Image::noise(double factor) {
  // One random pixel per image pixel, whatever the factor, so the generator advances by
  // 4 x width x height. The scaled noise is clamped at 0 before the add: it only brightens.
  eachPixelByColumn(*this, [factor](Pixel p) { return p.add(Pixel::random().scaleBy(factor)); });
}

void Image::brightness(double factor) {
  eachPixelByColumn(*this, [factor](Pixel p) { return p.scaleBy(factor); });
}

void Image::contrast(double factor) {
  // From a fixed grey of 123 (not 128; alpha 255) toward the pixel.
  eachPixelByColumn(*this, [factor](Pixel p) { return kContrastGrey.lerp(p, factor); });
}

void Image::saturation(double factor) {
  // From the pixel's own grey (keeping its alpha) toward the pixel.
  eachPixelByColumn(*this, [factor](Pixel p) {
    const uint8_t l = p.luminance();
    return Pixel{l, l, l, p.a}.lerp(p, factor);
  });
}

void Image::extractChannel(int32_t channel) {
  if (channel < 0 || channel > 3) return;  // no such channel: nothing changes
  eachPixelByColumn(*this, [channel](Pixel p) {
    switch (channel) {
      case 0: return Pixel{p.r, 0, 0, 0};
      case 1: return Pixel{0, p.g, 0, 0};
      case 2: return Pixel{0, 0, p.b, 0};
      default: return Pixel{0, 0, 0, p.a};
    }
  });
}

void Image::quantize(int32_t nbits) {
  eachPixelByColumn(*this, [nbits](Pixel p) { return p.quantize(nbits); });
}

}  // namespace bmpfun
