// Plain definitions of the image operations, for checking the library's optimised ones to the
// last bit: each written straight from its rules, one Pixel operation at a time, in the
// defined visiting order, sampling through the plain `sample` below. Shared by the tests and
// the fuzz targets, so it uses no test framework.
#pragma once
#include <bmpfun/image.hpp>

#include "filters/masks.hpp"

#include <cstdint>
#include <string>
#include <vector>

namespace bmpfun::reference {

// An operation's result: its size and pixels (row-major); 0 x 0 without pixels where the
// operation makes no image.
struct Grid {
  int32_t width = 0, height = 0;
  std::vector<Pixel> pixels;
  bool empty() const { return pixels.empty(); }
};
Grid gridOf(const Image& image);
// The first difference as a sentence; empty when the grids are the same.
std::string difference(const Grid& got, const Grid& want);

// Colour at a real position under the image's sampling method: point, bilinear, gaussian;
// white (255, 255, 255, 255) outside; opaque black for any other method.
Pixel sample(const Image& image, double x, double y);

// The warps, each output pixel one sample: effect 0 the sine wave, 1 the polar disc, 2 the
// disc's stores counted linearly into the source's size (later stores win, those past the
// end are dropped). Empty for any other effect and for a disc past the source's limits.
Grid fun(const Image& source, int32_t effect);
// The cell walk: cells (i, j) for i < (2w)/a and -1 <= j <= i + w/a, each cell's pixels
// column by column, found by testing both band inequalities. writes, when given, counts the
// stores into each pixel.
Grid mosaic(const Image& source, int32_t bandWidth, std::vector<int>* writes = nullptr);
// (int)(w * sx) x (int)(h * sy), column by column, pixel (i, j) sampling (i / sx, j * (1 / sy)).
// Empty when a side is not a number, truncates below 1, or the size passes int32 or the limit.
Grid scale(const Image& source, double sx, double sy);
// The (2d + 1)^2 square of samples about pixel (0, 0), d the truncated diagonal, trimmed to
// the box of its pixels other than opaque white. Empty when the square holds nothing but
// white or the box passes the source's limits. The square is made whole, so only sources
// within rotateInReach are taken (empty otherwise).
Grid rotate(const Image& source, double degrees);
// True when the square of rotate has at most 2^24 pixels.
bool rotateInReach(const Image& source);

// The 25 terms of the convolution at (x, y), a outer and b inner, each scaled and added with
// the Pixel operations; outside coordinates replaced by the centre's own.
Pixel convolve(const Image& image, int32_t x, int32_t y, const BlurMask& mask);
// In place, column by column, each pixel reading the ones already done.
void blur(Image& image, int32_t maskSize);
void sharpen(Image& image, int32_t maskSize);

// The in-place filters by name: noise, brightness, contrast, saturation, extractChannel,
// quantize, randomDither, orderedDither, floydSteinberg. Integer arguments are the
// argument's truncation (0 when that does not fit int32).
void filter(Image& image, const std::string& name, double argument);
// The library's filter by the same name, with the same argument.
void libraryFilter(Image& image, const std::string& name, double argument);

}  // namespace bmpfun::reference
