// The fun warps and the diagonal colour mosaic. Each builds a new image by inverse mapping:
// every output pixel asks the source's `sample` for the colour at a computed real position.
// The constants, the evaluation order of every real expression and the loop orders are
// fixed: the pictures must come out the same to the last bit on every host.
#include <bmpfun/image.hpp>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>
#include <vector>

#include "filters/samplers.hpp"
#include "image/report.hpp"
#include "base/parallel.hpp"

namespace bmpfun {

namespace {

// The filters' pi is truncated to six decimals, and its reciprocal is kept as a constant
// of its own (it is slightly above 1 / pi, which decides several edge columns).
constexpr double kPi = 3.141592;
constexpr double kInversePi = 0.3183099524062959;

// What a new image holds where nothing is stored: white with alpha 0.
constexpr Pixel kBlank{255, 255, 255, 0};

// Nanoseconds per output pixel on one core, for the choice of thread count, besides the
// sample itself: the square root and arc tangent of a polar pixel (averaged with the cheap
// white pixels outside the disc).
constexpr double kPolarCost = 8.0;
// Nanoseconds per mosaic pixel.
constexpr double kMosaicCost = 5.5;

using detail::failure;
using detail::report;
using detail::sizeFailure;

// floor(n / d) for d > 0; the diagonal difference of a mosaic pixel may be negative.
int64_t floorDiv(int64_t n, int64_t d) {
  const int64_t q = n / d;
  return (n % d != 0 && n < 0) ? q - 1 : q;
}

// A mosaic pixel of cell (i, j): one or two of the source's colour channels, chosen by
// j mod 4 and the parity of i. Alpha is left as the new image made it.
void mosaicPixel(const Pixel& from, Pixel& to, int64_t i, int64_t j) {
  const int64_t m = j % 4;
  const bool even = (i % 2) == 0;
  if ((m == 2 && even) || (m == 0 && !even)) {  // red only
    to.r = from.r;
    to.g = 0;
    to.b = 0;
  } else if ((m == 3 && even) || (m == 1 && !even)) {  // green only
    to.r = 0;
    to.g = from.g;
    to.b = 0;
  } else if ((m == 0 && even) || (m == 2 && !even)) {  // blue only
    to.r = 0;
    to.g = 0;
    to.b = from.b;
  } else {  // red and green
    to.r = from.r;
    to.g = from.g;
    to.b = 0;
  }
}

}  // namespace

namespace {

// Where effects 1 and 2 sample for the offset (i, c) from the disc's centre: the angle of
// the offset (row offset first, so 0 to the right and positive below) spread over the
// source's width, and the offset's length as the source row.
struct PolarMap {
  double halfWidth;
  double height;

  template <typename Sampler>
  Pixel at(const Sampler& sampler, int64_t i, int64_t c) const {
    if constexpr (Sampler::kConstant) return sampler(0.0, 0.0);
    const double di = static_cast<double>(i);
    const double dc = static_cast<double>(c);
    const double radius = std::sqrt(std::pow(dc, 2.0) + std::pow(di, 2.0));
    // Rows at or past the height are white whatever the column: the arc tangent, the
    // costliest step, is not needed there.
    if constexpr (Sampler::kWhiteFromHeight) {
      if (!(radius < height)) return sampling::kWhite;
    }
    const double theta = std::atan2(dc, di);
    const double x = (halfWidth * theta) * kInversePi + halfWidth;
    return sampler(x, radius);
  }
};

}  // namespace

// Effect 0 (sine wave, w x h): column i shows the source column lifted by
// (h / 2) * sin(2 * i * pi' / w). Effect 1 (polar disc, (2h + 1) x (2h + 1)): source row r
// becomes the circle of radius r around the centre, column w / 2 the ray to the right.
// Effect 2: effect 1's stores, counted linearly into a w x h image; stores past the end are
// dropped and later stores replace earlier ones. Other effect numbers: empty, noSuchEffect.
//
// Every output pixel depends only on its own position, so the pixels are filled row by row
// (the order the loops of the definition store them in cannot be seen), with the sampling
// method chosen once for the whole image, and the rows are split over the image's threads.
std::unique_ptr<Image> Image::fun(int32_t effect, Status* status) const {
  if (effect < 0 || effect > 2) {
    Status s = failure(Cause::noSuchEffect);
    s.effect = effect;
    report(status, s);
    return nullptr;
  }
  const int32_t w = width_;
  const int32_t h = height_;
  const size_t stride = static_cast<size_t>(w);

  if (effect == 0) {
    auto out = allocate(w, h, limits_, status, false);  // every pixel is sampled below
    if (!out) return out;
    // One sine per column: multiply by pi' first, divide by w second.
    const double amplitude = static_cast<double>(h / 2);
    std::vector<double> shift(stride);
    for (int32_t i = 0; i < w; ++i) {
      const double angle =
          (static_cast<double>(int64_t{2} * i) * kPi) / static_cast<double>(w);
      shift[static_cast<size_t>(i)] = amplitude * std::sin(angle);
    }
    Pixel* const pixels = out->pixels_.data();
    sampling::withSampler(*this, [&](const auto& sampler) {
      using Sampler = sampling::SamplerOf<decltype(sampler)>;
      detail::forEachChunk(limits_, h, Sampler::kCost * w, [&](int64_t first, int64_t end) {
        for (int64_t k = first; k < end; ++k) {
          Pixel* row = pixels + static_cast<size_t>(k) * stride;
          const double dk = static_cast<double>(k);
          for (size_t i = 0; i < stride; ++i) {
            row[i] = sampler(static_cast<double>(i), shift[i] + dk);
          }
        }
      });
    });
    return out;
  }

  const int64_t side = int64_t{2} * h + 1;
  const PolarMap map{static_cast<double>(w / 2), static_cast<double>(h)};

  if (effect == 1) {
    if (side > std::numeric_limits<int32_t>::max()) {
      report(status, sizeFailure(Cause::tooLarge, side, side, limits_));
      return nullptr;
    }
    auto out = allocate(static_cast<int32_t>(side), static_cast<int32_t>(side), limits_, status,
                        false);  // every pixel is sampled below
    if (!out) return out;
    // Offset (i, c) is stored at column i + h, row c + h.
    Pixel* const pixels = out->pixels_.data();
    sampling::withSampler(*this, [&](const auto& sampler) {
      using Sampler = sampling::SamplerOf<decltype(sampler)>;
      detail::forEachChunk(limits_, side, (kPolarCost + Sampler::kCost) * static_cast<double>(side),
                           [&](int64_t first, int64_t end) {
        for (int64_t c = first - h; c < end - h; ++c) {
          Pixel* row = pixels + static_cast<size_t>(c + h) * static_cast<size_t>(side);
          for (int64_t i = -h; i <= h; ++i) row[i + h] = map.at(sampler, i, c);
        }
      });
    });
    return out;
  }

  // Effect 2 stores offset (i, c) at element e = (c + h) * w + (i + h), i outer, c inner,
  // and drops stores with e >= w * h; only the last store to an element can be seen. With
  // I = i + h and C = c + h (both 0 .. 2h), the stores to e are the I = e - C * w, and the
  // later the store the larger its I. So the one that stays has the largest I with
  // I <= min(e, 2h) and I = e (mod w); its C = (e - I) / w < h always lies in range. For
  // e in row R, column x of the output that is I = x + k * w with
  // k = min(R, (2h - x) / w), C = R - k; columns x > 2h get no store and stay blank.
  auto out = allocate(w, h, limits_, status, false);  // every pixel is written below
  if (!out) return out;
  const int64_t lastI = int64_t{2} * h;
  const int64_t written = std::min<int64_t>(w, lastI + 1);
  Pixel* const pixels = out->pixels_.data();
  sampling::withSampler(*this, [&](const auto& sampler) {
    using Sampler = sampling::SamplerOf<decltype(sampler)>;
    detail::forEachChunk(limits_, h, (kPolarCost + Sampler::kCost) * static_cast<double>(written),
                         [&](int64_t first, int64_t end) {
      for (int64_t r = first; r < end; ++r) {
        Pixel* row = pixels + static_cast<size_t>(r) * stride;
        for (int64_t x = 0; x < written; ++x) {
          const int64_t k = std::min(r, (lastI - x) / w);
          row[x] = map.at(sampler, x + k * w - h, r - k - h);
        }
        std::fill(row + written, row + w, kBlank);
      }
    });
  });
  return out;
}

// Diamond cells a pixels across: pixel (k, l) lies in cell (i, j) with
// j = floor((k + l) / a) and i = j - floor((k - l) / a). Cells are visited for
// i < (2 * w) / a only, so pixels towards the bottom-left corner (large i) keep the new
// image's white; written pixels keep one or two of the source's colour channels, chosen by
// j mod 4 and the parity of i, and their alpha stays 0. A band width of 0 or less writes
// nothing.
std::unique_ptr<Image> Image::mosaic(int32_t bandWidth, Status* status) const {
  if (bandWidth <= 0) return create(width_, height_, limits_, status);
  auto out = allocate(width_, height_, limits_, status, false);  // every pixel is written below
  if (!out) return out;
  const int64_t a = bandWidth;
  const int64_t cellColumns = (int64_t{2} * width_) / a;  // cells with i below this are visited
  const Pixel* const source = pixels_.data();
  Pixel* const target = out->pixels_.data();

  // The cells are disjoint and the j range of every visited i covers all pixels of the
  // image, so working out each pixel's own cell gives the same picture as the cell walk; and
  // since that depends on the pixel alone, the rows are split over the image's threads.
  const size_t stride = static_cast<size_t>(width_);
  detail::forEachChunk(limits_, height_, kMosaicCost * width_, [&](int64_t firstRow, int64_t endRow) {
    for (auto l = static_cast<int32_t>(firstRow); l < endRow; ++l) {
      size_t element = static_cast<size_t>(l) * stride;
      for (int32_t k = 0; k < width_; ++k, ++element) {
        const int64_t j = (int64_t{k} + l) / a;  // k + l >= 0: plain division floors
        const int64_t i = j - floorDiv(int64_t{k} - l, a);
        target[element] = kBlank;
        if (i < cellColumns) mosaicPixel(source[element], target[element], i, j);
      }
    }
  });
  return out;
}

}  // namespace bmpfun
