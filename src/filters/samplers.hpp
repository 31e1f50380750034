// The resampler's methods as small value types, so that a warp picks the method once and
// runs a loop specialised for it instead of asking Image::sample per pixel. Image::sample
// itself goes through these, so there is one implementation of each method.
//
// Every sampler is a callable Pixel(double x, double y). kWhiteFromHeight says that any
// position with y >= height comes out white, whatever x is (true for the three real
// methods), so a warp may skip computing x there; kConstant says the result never depends
// on the position at all. kCost is the rough nanoseconds of one sample inside the image on
// one core of the reference machine, by which the warps decide how many threads a job is
// worth (see base/parallel.hpp).
#pragma once
#include <bmpfun/image.hpp>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "filters/channels.hpp"
#include "filters/masks.hpp"

namespace bmpfun::sampling {

inline constexpr Pixel kWhite{255, 255, 255, 255};
inline constexpr Pixel kOpaqueBlack{0, 0, 0, 255};

// Method 0: the pixel the position falls in; white outside (NaN fails every comparison).
struct Point {
  static constexpr bool kWhiteFromHeight = true;
  static constexpr bool kConstant = false;
  static constexpr double kCost = 2.0;
  const Pixel* pixels;
  size_t stride;
  double width, height;

  explicit Point(const Image& image)
      : pixels(image.pixels().data()),
        stride(static_cast<size_t>(image.width())),
        width(static_cast<double>(image.width())),
        height(static_cast<double>(image.height())) {}

  Pixel operator()(double x, double y) const {
    if (!(x >= 0.0 && y >= 0.0 && x < width && y < height)) return kWhite;
    return pixels[static_cast<size_t>(static_cast<int32_t>(x)) +
                  static_cast<size_t>(static_cast<int32_t>(y)) * stride];
  }
};

// Method 1: four neighbours, each scaled by its column weight and then its row weight (two
// roundings), added with saturation. On the last column (row) the cell shifts one to the
// left (up) while the weights keep their interior form; a one-pixel-wide (high) image has no
// such neighbour and uses column (row) 0 for it.
struct Bilinear {
  static constexpr bool kWhiteFromHeight = true;
  static constexpr bool kConstant = false;
  static constexpr double kCost = 30.0;
  const Pixel* pixels;
  int32_t width, height;

  explicit Bilinear(const Image& image)
      : pixels(image.pixels().data()), width(image.width()), height(image.height()) {}

  Pixel operator()(double x, double y) const {
    const double fx = std::floor(x);
    const double fy = std::floor(y);
    // Refuses NaN, infinities and floors beyond int32 as well as the plain outside.
    if (!(fx >= 0.0 && fy >= 0.0 && fx < static_cast<double>(width) &&
          fy < static_cast<double>(height))) {
      return kWhite;
    }
    const int32_t x0 = static_cast<int32_t>(fx);
    const int32_t y0 = static_cast<int32_t>(fy);
    int32_t left = x0;
    int32_t right = x0 + 1;
    double wL = static_cast<double>(x0 + 1) - x;
    const double wR = x - fx;
    if (x0 + 1 == width) {
      left = std::max(x0 - 1, 0);
      right = x0;
      wL = (fx - x) + 1.0;
    }
    int32_t top = y0;
    int32_t bottom = y0 + 1;
    double wT = static_cast<double>(y0 + 1) - y;
    const double wB = y - fy;
    if (y0 + 1 == height) {
      top = std::max(y0 - 1, 0);
      bottom = y0;
      wT = (fy - y) + 1.0;
    }
    const size_t stride = static_cast<size_t>(width);
    const Pixel* topRow = pixels + static_cast<size_t>(top) * stride;
    const Pixel* bottomRow = pixels + static_cast<size_t>(bottom) * stride;
    // Every weight lies in 0 .. 1 (x - floor(x) is exact and below 1; the other forms are
    // roundings of values in (0, 1]), so c * weight + 0.5 lies in 0.5 .. 255.5 and the
    // rounding of scaleChannel is a plain truncation there, with nothing to clamp.
    auto weigh = [](Pixel p, double weight) {
      auto channel = [weight](uint8_t c) {
        return static_cast<uint8_t>(static_cast<int32_t>(static_cast<double>(c) * weight + 0.5));
      };
      return Pixel{channel(p.r), channel(p.g), channel(p.b), channel(p.a)};
    };
    const Pixel tl = weigh(weigh(topRow[left], wL), wT);
    const Pixel bl = weigh(weigh(bottomRow[left], wL), wB);
    const Pixel tr = weigh(weigh(topRow[right], wR), wT);
    const Pixel br = weigh(weigh(bottomRow[right], wR), wB);
    // Every term is within 0..255, so the saturating chain is min(255, plain sum).
    auto sum = [](uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
      const int32_t s = int32_t{a} + int32_t{b} + int32_t{c} + int32_t{d};
      return static_cast<uint8_t>(s > 255 ? 255 : s);
    };
    return Pixel{sum(tl.r, bl.r, tr.r, br.r), sum(tl.g, bl.g, tr.g, br.g),
                 sum(tl.b, bl.b, tr.b, br.b), sum(tl.a, bl.a, tr.a, br.a)};
  }
};

// The 5 x 5 binomial weights applied to every byte value, each entry computed with
// scaleChannel itself, so a lookup is that rounding. [a][b][c]: column offset a, row b.
struct GaussianTable {
  uint8_t scaled[5][5][256];
  GaussianTable() : scaled{} {
    for (size_t a = 0; a < 5; ++a) {
      for (size_t b = 0; b < 5; ++b) {
        for (size_t c = 0; c < 256; ++c) {
          scaled[a][b][c] = scaleChannel(static_cast<uint8_t>(c), kBinomialMask5[a][b]);
        }
      }
    }
  }
  static const GaussianTable& get() {
    static const GaussianTable table;
    return table;
  }
};

// Method 2: the 5 x 5 window whose first column is floor(x - 2.5) (first row likewise),
// clipped to the image without renormalising; white outside. The terms are non-negative, so
// the saturating running sum is min(255, plain sum) in any order, and alpha, which starts
// at 255, stays there.
struct Gaussian {
  static constexpr bool kWhiteFromHeight = true;
  static constexpr bool kConstant = false;
  static constexpr double kCost = 35.0;
  const Pixel* pixels;
  int32_t width, height;
  const GaussianTable* table;

  explicit Gaussian(const Image& image)
      : pixels(image.pixels().data()),
        width(image.width()),
        height(image.height()),
        table(&GaussianTable::get()) {}

  Pixel operator()(double x, double y) const {
    if (!(x >= 0.0 && y >= 0.0 && x < static_cast<double>(width) &&
          y < static_cast<double>(height))) {
      return kWhite;
    }
    // Inside, so both floors lie in -3 .. size - 3.
    const int32_t cx = static_cast<int32_t>(std::floor(x - 2.5));
    const int32_t cy = static_cast<int32_t>(std::floor(y - 2.5));
    const int32_t firstColumn = std::max(cx, 0);
    const int32_t endColumn = std::min(cx + 5, width);
    const int32_t firstRow = std::max(cy, 0);
    const int32_t endRow = std::min(cy + 5, height);
    const size_t stride = static_cast<size_t>(width);
    int32_t r = 0, g = 0, b = 0;
    for (int32_t j = firstRow; j < endRow; ++j) {
      const Pixel* row = pixels + static_cast<size_t>(j) * stride;
      for (int32_t i = firstColumn; i < endColumn; ++i) {
        const auto& weight = table->scaled[i - cx][j - cy];
        const Pixel p = row[i];
        r += weight[p.r];
        g += weight[p.g];
        b += weight[p.b];
      }
    }
    auto clamp = [](int32_t v) { return static_cast<uint8_t>(v > 255 ? 255 : v); };
    return Pixel{clamp(r), clamp(g), clamp(b), 255};
  }
};

// Any other method: opaque black everywhere, no pixel read.
struct Black {
  static constexpr bool kWhiteFromHeight = false;
  static constexpr bool kConstant = true;
  static constexpr double kCost = 0.5;
  explicit Black(const Image&) {}
  Pixel operator()(double, double) const { return kOpaqueBlack; }
};

// The sampler type f was called with by withSampler.
template <typename S>
using SamplerOf = std::remove_cvref_t<S>;

// Calls f with the sampler for the image's method and returns what f returns.
template <typename F>
decltype(auto) withSampler(const Image& image, F&& f) {
  switch (image.samplingMethod()) {
    case kPoint: return f(Point(image));
    case kBilinear: return f(Bilinear(image));
    case kGaussian: return f(Gaussian(image));
    default: return f(Black(image));
  }
}

}  // namespace bmpfun::sampling
