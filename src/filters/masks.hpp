// The blur masks shared by the neighbourhood filters and the gaussian resampler.
#pragma once
#include <bmpfun/image.hpp>

#include <cstdint>

namespace bmpfun {

// The four blur masks: 5 x 5 weights in 256ths; mask[a][b] weighs column x + a - 2,
// row y + b - 2. Selected by maskSize 2, 3, 4 and 5-or-more; the last is also the
// gaussian sampling table.
using BlurMask = double[5][5];
const BlurMask* blurMaskFor(int32_t maskSize);  // nullptr below 2
extern const BlurMask kBinomialMask5;
// Convolve pixel (x, y) with mask, reading the image as it is now, and store the result.
void convolvePixel(Image& image, int32_t x, int32_t y, const BlurMask& mask);

}  // namespace bmpfun
