// The four 5 x 5 blur masks, in 256ths. mask[a][b] weighs column x + a - 2, row y + b - 2;
// every mask sums to exactly 1, and every weight is exact in a double.
#include "filters/masks.hpp"

namespace bmpfun {

namespace {

constexpr double k = 1.0 / 256.0;

// 2 x 2 box over the pixel and its right, lower and lower-right neighbours.
const BlurMask kBoxMask2 = {
    {0, 0, 0, 0, 0},
    {0, 0, 0, 0, 0},
    {0, 0, 64 * k, 64 * k, 0},
    {0, 0, 64 * k, 64 * k, 0},
    {0, 0, 0, 0, 0},
};

// 3 x 3 binomial, centred.
const BlurMask kBinomialMask3 = {
    {0, 0, 0, 0, 0},
    {0, 16 * k, 32 * k, 16 * k, 0},
    {0, 32 * k, 64 * k, 32 * k, 0},
    {0, 16 * k, 32 * k, 16 * k, 0},
    {0, 0, 0, 0, 0},
};

// 4 x 4 over offsets -1..+2, heavy in the middle 2 x 2.
const BlurMask kMask4 = {
    {0, 0, 0, 0, 0},
    {0, 1 * k, 2 * k, 2 * k, 1 * k},
    {0, 2 * k, 59 * k, 59 * k, 2 * k},
    {0, 2 * k, 59 * k, 59 * k, 2 * k},
    {0, 1 * k, 2 * k, 2 * k, 1 * k},
};

}  // namespace

// B[a] * B[b] / 256 with B = (1, 4, 6, 4, 1); also the gaussian sampling weights.
const BlurMask kBinomialMask5 = {
    {1 * k, 4 * k, 6 * k, 4 * k, 1 * k},
    {4 * k, 16 * k, 24 * k, 16 * k, 4 * k},
    {6 * k, 24 * k, 36 * k, 24 * k, 6 * k},
    {4 * k, 16 * k, 24 * k, 16 * k, 4 * k},
    {1 * k, 4 * k, 6 * k, 4 * k, 1 * k},
};

const BlurMask* blurMaskFor(int32_t maskSize) {
  switch (maskSize) {
    case 2: return &kBoxMask2;
    case 3: return &kBinomialMask3;
    case 4: return &kMask4;
    default: return maskSize >= 5 ? &kBinomialMask5 : nullptr;
  }
}

}  // namespace bmpfun
