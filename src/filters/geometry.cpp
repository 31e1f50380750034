// Geometry: crop, scale, rotate and the trim to the non-white content. Each returns a new
// image and leaves the source alone; a result that cannot be made is an empty pointer with
// the reason in the status, never a read outside the source.
#include <bmpfun/image.hpp>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>
#include <mutex>
#include <new>
#include <vector>

#include "filters/samplers.hpp"
#include "image/report.hpp"
#include "base/parallel.hpp"

namespace bmpfun {

namespace {

// Degrees to radians with the filters' truncated pi (3.141592 / 180), not the exact one:
// rotate(90) is therefore a hair short of a quarter turn.
constexpr double kRadiansPerDegree = 0.01745328888888889;

constexpr Pixel kWhite{255, 255, 255, 255};

// Nanoseconds on one core, for the choice of thread count: one row of rotate's search for
// its box (a few dozen position tests and, mostly, a couple of samples), and one pixel of
// autoCrop's scan.
constexpr double kRowScanCost = 1000.0;
constexpr double kScanCost = 0.3;
// ... and one pixel of a copy into fresh memory (mostly its page faults).
constexpr double kCopyCost = 1.0;

using detail::failure;
using detail::report;
using detail::sizeFailure;

// (int) of a real output size as far as 64 bits hold it, for a status; a side that is not a
// finite number has no size to tell and reads 0.
int64_t sideForStatus(double side) {
  if (!std::isfinite(side)) return 0;
  if (side <= -9.2e18) return INT64_MIN;
  if (side >= 9.2e18) return INT64_MAX;
  return static_cast<int64_t>(side);
}

// (int) of the real output sizes, refusing what the conversion cannot hold: NaN and anything
// that truncates below 1 is badSize, infinities too; a finite size past int32 is tooLarge.
bool outputSize(double width, double height, int32_t& outWidth, int32_t& outHeight, const Limits& limits,
                Status* status) {
  const auto causeOf = [](double side) {
    if (!(side >= 1.0) || std::isinf(side)) return Cause::badSize;
    return side >= 2147483648.0 ? Cause::tooLarge : Cause::ok;
  };
  Cause cause = causeOf(width);
  if (cause == Cause::ok) cause = causeOf(height);
  if (cause != Cause::ok) {
    report(status, sizeFailure(cause, sideForStatus(width), sideForStatus(height), limits));
    return false;
  }
  outWidth = static_cast<int32_t>(width);
  outHeight = static_cast<int32_t>(height);
  return true;
}

}  // namespace

// Copy of the width x height rectangle whose top-left pixel is (x, y). A side below 1 is
// badSize; a rectangle not wholly inside the source is outsideSource (nothing is read).
std::unique_ptr<Image> Image::crop(int32_t x, int32_t y, int32_t width, int32_t height,
                                   Status* status) const {
  if (width < 1 || height < 1) {
    report(status, sizeFailure(Cause::badSize, width, height, limits_));
    return nullptr;
  }
  if (x < 0 || y < 0 || int64_t{x} + width > width_ || int64_t{y} + height > height_) {
    report(status, sizeFailure(Cause::outsideSource, width_, height_, limits_));
    return nullptr;
  }
  auto out = allocate(width, height, limits_, status, false);  // every pixel is copied below
  if (!out) return out;
  // A plain copy of all four channels; every target pixel is written once, so copying row
  // by row gives the same image as the column walk, and the rows may go to several threads.
  const size_t rowLength = static_cast<size_t>(width);
  const Pixel* const source = pixels_.data();
  Pixel* const target = out->pixels_.data();
  detail::forEachChunk(limits_, height, kCopyCost * width, [&](int64_t first, int64_t end) {
    for (auto j = static_cast<int32_t>(first); j < end; ++j) {
      const Pixel* from = source + index(x, y + j);
      std::copy(from, from + rowLength, target + out->index(0, j));
    }
  });
  return out;
}

// Resize to (int)(w * sx) x (int)(h * sy) through `sample`: output pixel (i, j) samples
// x = i / sx but y = j * (1 / sy); the two forms can differ in the last bit, which is kept.
// A size that is not finite, truncates below 1 or passes int32 or the limit gives empty.
std::unique_ptr<Image> Image::scale(double sx, double sy, Status* status) const {
  int32_t outWidth = 0;
  int32_t outHeight = 0;
  if (!outputSize(static_cast<double>(width_) * sx, static_cast<double>(height_) * sy, outWidth, outHeight, limits_,
                  status)) {
    return nullptr;
  }
  auto out = allocate(outWidth, outHeight, limits_, status, false);  // every pixel is sampled
  if (!out) return out;
  // Every output pixel depends on its position alone, so the rows are filled one after the
  // other (the column-by-column order cannot be seen), with the method chosen once, and split
  // over the image's threads.
  const double inverseSy = 1.0 / sy;
  const size_t stride = static_cast<size_t>(outWidth);
  std::vector<double> column;
  try {
    column.resize(stride);
  } catch (const std::bad_alloc&) {
    report(status, failure(Cause::outOfMemory));
    return nullptr;
  }
  for (size_t i = 0; i < stride; ++i) column[i] = static_cast<double>(i) / sx;
  Pixel* const pixels = out->pixels_.data();
  sampling::withSampler(*this, [&](const auto& sampler) {
    using Sampler = sampling::SamplerOf<decltype(sampler)>;
    detail::forEachChunk(limits_, outHeight, Sampler::kCost * outWidth, [&](int64_t first, int64_t end) {
      for (int64_t j = first; j < end; ++j) {
        Pixel* row = pixels + static_cast<size_t>(j) * stride;
        const double y = static_cast<double>(j) * inverseSy;
        for (size_t i = 0; i < stride; ++i) row[i] = sampler(column[i], y);
      }
    });
  });
  return out;
}

namespace {

// Items lo .. hi (lo <= hi) where pred holds, for a pred that is monotone over them (false
// then true, true then false, or constant): an interval, found by bisection. first > last
// when it is empty.
struct Span {
  int64_t first = 1;
  int64_t last = 0;
  bool empty() const { return first > last; }
  Span meet(Span other) const {
    return Span{std::max(first, other.first), std::min(last, other.last)};
  }
};

template <typename Pred>
Span whereHolds(int64_t lo, int64_t hi, Pred pred) {
  const bool atLo = pred(lo);
  const bool atHi = pred(hi);
  if (atLo == atHi) return atLo ? Span{lo, hi} : Span{};
  int64_t a = lo;  // pred(a) == atLo
  int64_t b = hi;  // pred(b) == atHi
  while (b - a > 1) {
    const int64_t m = a + (b - a) / 2;
    if (pred(m) == atHi) {
      b = m;
    } else {
      a = m;
    }
  }
  return atHi ? Span{b, hi} : Span{lo, a};
}

// The turned picture: pixel (i, c) of the square, i and c in -d .. d, samples
// x = i cos - c sin, y = c cos + i sin, each product rounded on its own. The square is never
// made; rows are worked out as they are needed.
struct Turn {
  double cosine, sine;
  int64_t d;
  double width, height;  // of the source

  double x(double di, double dcSin) const { return di * cosine - dcSin; }
  double y(double di, double dcCos) const { return dcCos + di * sine; }

  // The i of row c whose position lies inside the source (0 <= x < width, 0 <= y < height):
  // the only pixels of the row a real sampling method can give a colour other than white.
  // With c fixed, x and y are monotone in i (a rounded product is monotone in its factor and
  // a rounded sum in each term), so each of the four conditions holds on an interval of i,
  // found exactly with the arithmetic the samples use.
  Span inside(int64_t c) const {
    const double dc = static_cast<double>(c);
    const double dcSin = dc * sine;
    const double dcCos = dc * cosine;
    auto xAt = [&](int64_t i) { return x(static_cast<double>(i), dcSin); };
    auto yAt = [&](int64_t i) { return y(static_cast<double>(i), dcCos); };
    Span span = whereHolds(-d, d, [&](int64_t i) { return xAt(i) >= 0.0; });
    if (span.empty()) return span;
    span = span.meet(whereHolds(-d, d, [&](int64_t i) { return xAt(i) < width; }));
    if (span.empty()) return span;
    span = span.meet(whereHolds(-d, d, [&](int64_t i) { return yAt(i) >= 0.0; }));
    if (span.empty()) return span;
    return span.meet(whereHolds(-d, d, [&](int64_t i) { return yAt(i) < height; }));
  }

  // Rows outside these hold no inside position. A source point (x, y) lies on row
  // c = (y cos - x sin) / (cos^2 + sin^2), so the rows of the source's corners bound them;
  // the rounding of x and y (a few units in the last place of values below 2^32, far below
  // 1e-3) is covered twice over by a margin of two rows.
  Span rows() const {
    if (!std::isfinite(cosine) || !std::isfinite(sine)) return Span{};
    const double norm = cosine * cosine + sine * sine;
    double low = 0.0, high = 0.0;
    for (const double cx : {0.0, width}) {
      for (const double cy : {0.0, height}) {
        const double row = (cy * cosine - cx * sine) / norm;
        low = std::min(low, row);
        high = std::max(high, row);
      }
    }
    const double first = std::max(std::floor(low) - 2.0, static_cast<double>(-d));
    const double last = std::min(std::ceil(high) + 2.0, static_cast<double>(d));
    return Span{static_cast<int64_t>(first), static_cast<int64_t>(last)};
  }
};

// Bounding box of the content found by the workers; min and max do not care in which order
// the rows report.
struct Box {
  int64_t left = std::numeric_limits<int64_t>::max();
  int64_t right = std::numeric_limits<int64_t>::min();
  int64_t top = std::numeric_limits<int64_t>::max();
  int64_t bottom = std::numeric_limits<int64_t>::min();
  bool empty() const { return right < left; }
  void addRow(int64_t row, int64_t first, int64_t last) {
    left = std::min(left, first);
    right = std::max(right, last);
    top = std::min(top, row);
    bottom = std::max(bottom, row);
  }
  void add(const Box& other) {
    if (other.empty()) return;
    addRow(other.top, other.left, other.right);
    addRow(other.bottom, other.left, other.right);
  }
};

// Per-chunk boxes merged under a lock.
class SharedBox {
 public:
  void add(const Box& part) {
    const std::lock_guard<std::mutex> hold(lock_);
    box_.add(part);
  }
  const Box& box() const { return box_; }

 private:
  std::mutex lock_;
  Box box_;
};

}  // namespace

// Turn by degrees about source pixel (0, 0); positive turns counter-clockwise with row 0 at
// the top. The result is the square of side 2d + 1 (d = (int) of the source's diagonal, the
// pivot at its centre) whose pixel (i + d, c + d) samples the source at
// (i cos - c sin, c cos + i sin), trimmed to the box of its pixels other than
// (255, 255, 255, 255), as autoCrop would trim it. The square itself is never made: the box
// is found first, looking only at positions inside the source (everywhere else a real
// sampling method gives white), and then only the box is filled. Both passes split the rows
// over the image's threads. A box past the limit is tooLarge; no such pixel at all is
// noContent.
std::unique_ptr<Image> Image::rotate(double degrees, Status* status) const {
  const double rad = degrees * kRadiansPerDegree;
  const double diagonal = std::sqrt(std::pow(static_cast<double>(width_), 2.0) +
                                    std::pow(static_cast<double>(height_), 2.0));
  const Turn turn{std::cos(rad), std::sin(rad), static_cast<int64_t>(diagonal),
                  static_cast<double>(width_), static_cast<double>(height_)};
  const int64_t d = turn.d;

  return sampling::withSampler(*this, [&](const auto& sampler) -> std::unique_ptr<Image> {
    using Sampler = sampling::SamplerOf<decltype(sampler)>;
    Box box;
    if constexpr (Sampler::kConstant) {
      // No sample is white (the one constant method gives opaque black): the whole square.
      if (sampler(0.0, 0.0) != kWhite) {
        box.addRow(-d, -d, d);
        box.addRow(d, -d, d);
      }
    } else {
      // First pass: per row, the first and last pixel inside the source that is not white.
      const Span rows = turn.rows();
      SharedBox found;
      if (!rows.empty()) {
        detail::forEachChunk(limits_, rows.last - rows.first + 1, kRowScanCost,
                             [&](int64_t first, int64_t end) {
          Box part;
          for (int64_t c = rows.first + first; c < rows.first + end; ++c) {
            const Span span = turn.inside(c);
            if (span.empty()) continue;
            const double dc = static_cast<double>(c);
            const double dcSin = dc * turn.sine;
            const double dcCos = dc * turn.cosine;
            auto isContent = [&](int64_t i) {
              const double di = static_cast<double>(i);
              return sampler(turn.x(di, dcSin), turn.y(di, dcCos)) != kWhite;
            };
            int64_t left = span.first;
            while (left <= span.last && !isContent(left)) ++left;
            if (left > span.last) continue;
            int64_t right = span.last;
            while (!isContent(right)) --right;
            part.addRow(c, left, right);
          }
          found.add(part);
        });
      }
      box = found.box();
    }
    if (box.empty()) {
      report(status, failure(Cause::noContent));
      return nullptr;
    }
    const int64_t boxWidth = box.right - box.left + 1;
    const int64_t boxHeight = box.bottom - box.top + 1;
    if (boxWidth > std::numeric_limits<int32_t>::max() ||
        boxHeight > std::numeric_limits<int32_t>::max()) {
      report(status, sizeFailure(Cause::tooLarge, boxWidth, boxHeight, limits_));
      return nullptr;
    }
    // Every pixel of the box is written below.
    auto out = allocate(static_cast<int32_t>(boxWidth), static_cast<int32_t>(boxHeight), limits_,
                        status, false);
    if (!out) return out;

    // Second pass: the box, row by row. Outside a row's inside span every sample is white.
    Pixel* const pixels = out->pixels_.data();
    const size_t stride = static_cast<size_t>(boxWidth);
    detail::forEachChunk(limits_, boxHeight, Sampler::kCost * static_cast<double>(boxWidth),
                         [&](int64_t first, int64_t end) {
      for (int64_t c = box.top + first; c < box.top + end; ++c) {
        Pixel* row = pixels + static_cast<size_t>(c - box.top) * stride;
        Span span{box.left, box.right};
        if constexpr (!Sampler::kConstant) span = span.meet(turn.inside(c));
        const double dc = static_cast<double>(c);
        const double dcSin = dc * turn.sine;
        const double dcCos = dc * turn.cosine;
        for (int64_t i = box.left; i <= box.right; ++i) {
          const double di = static_cast<double>(i);
          row[i - box.left] = (i < span.first || i > span.last)
                                  ? kWhite
                                  : sampler(turn.x(di, dcSin), turn.y(di, dcCos));
        }
      }
    });
    return out;
  });
}

// The smallest rectangle holding every pixel that is not (255, 255, 255, 255); a white
// colour with any other alpha is content. An image with no such pixel is noContent.
std::unique_ptr<Image> Image::autoCrop(Status* status) const {
  // Each row reports its first and last content pixel; the rows are split over the image's
  // threads and their boxes merged (min and max, so the order does not matter).
  const size_t stride = static_cast<size_t>(width_);
  const Pixel* const pixels = pixels_.data();
  SharedBox found;
  detail::forEachChunk(limits_, height_, kScanCost * width_, [&](int64_t first, int64_t end) {
    Box part;
    for (int64_t y = first; y < end; ++y) {
      const Pixel* row = pixels + static_cast<size_t>(y) * stride;
      size_t left = 0;
      while (left < stride && row[left] == kWhite) ++left;
      if (left == stride) continue;
      size_t right = stride - 1;
      while (row[right] == kWhite) --right;
      part.addRow(y, static_cast<int64_t>(left), static_cast<int64_t>(right));
    }
    found.add(part);
  });
  const Box& box = found.box();
  if (box.empty()) {
    report(status, failure(Cause::noContent));
    return nullptr;
  }
  return crop(static_cast<int32_t>(box.left), static_cast<int32_t>(box.top),
              static_cast<int32_t>(box.right - box.left + 1),
              static_cast<int32_t>(box.bottom - box.top + 1), status);
}

}  // namespace bmpfun
