// Neighbourhood filters: blur and sharpen with the 5 x 5 masks, in place in one column-major
// pass, and the 3 x 3 Laplacian edge detector through a working image.
#include <bmpfun/image.hpp>

#include "filters/masks.hpp"

#include <algorithm>
#include <cstddef>
#include <utility>

#include "base/parallel.hpp"

namespace bmpfun {

void convolvePixel(Image& image, int32_t x, int32_t y, const BlurMask& mask) {
  if (!image.isValid(x, y)) return;
  // The accumulator's alpha starts at 255 and sums only non-negative terms, so every result
  // is opaque.
  Pixel sum;
  for (int32_t a = 0; a < 5; ++a) {
    // A column outside the image is replaced by the centre's own column (not the nearest
    // border column), and likewise for rows.
    int32_t column = x + a - 2;
    if (column < 0 || column >= image.width()) column = x;
    for (int32_t b = 0; b < 5; ++b) {
      int32_t row = y + b - 2;
      if (row < 0 || row >= image.height()) row = y;
      sum = sum.add(image.pixel(column, row).scaleBy(mask[a][b]));
    }
  }
  image.pixel(x, y) = sum;
}

namespace {

// A mask made ready for pixels whose whole reach lies inside the image. Taps with weight 0
// are left out: they add floor(c * 0 + 0.5) = 0 whatever they read. Each remaining tap
// carries its scaled value for every byte, computed with scaleChannel itself, so a lookup
// is that rounding. Since every term is non-negative, the saturating running sum equals
// min(255, plain sum), and the alpha, which starts at 255, stays 255.
struct PreparedMask {
  int32_t taps = 0;
  int32_t column[25] = {};  // offsets from the centre
  int32_t row[25] = {};
  ptrdiff_t offset[25] = {};  // the same as an element offset in the pixel array
  uint8_t scaled[25][256] = {};
  // The reach of the non-zero taps.
  int32_t left = 0, right = 0, up = 0, down = 0;

  PreparedMask(const BlurMask& mask, int32_t width) {
    for (int32_t a = 0; a < 5; ++a) {
      for (int32_t b = 0; b < 5; ++b) {
        const double weight = mask[a][b];
        if (weight == 0.0) continue;
        const size_t k = static_cast<size_t>(taps++);
        column[k] = a - 2;
        row[k] = b - 2;
        offset[k] = static_cast<ptrdiff_t>(column[k]) +
                    static_cast<ptrdiff_t>(row[k]) * static_cast<ptrdiff_t>(width);
        for (int32_t c = 0; c < 256; ++c) {
          scaled[k][c] = scaleChannel(static_cast<uint8_t>(c), weight);
        }
        left = std::min(left, column[k]);
        right = std::max(right, column[k]);
        up = std::min(up, row[k]);
        down = std::max(down, row[k]);
      }
    }
  }

  // True when no non-zero tap of the pixel at (x, y) needs a coordinate replaced.
  bool reachesInside(int32_t x, int32_t y, int32_t width, int32_t height) const {
    return x + left >= 0 && x + right < width && y + up >= 0 && y + down < height;
  }

  // convolvePixel for a pixel where reachesInside holds: direct reads, table lookups.
  Pixel convolveInside(const Pixel* centre) const {
    int32_t r = 0, g = 0, b = 0;
    for (size_t k = 0; k < static_cast<size_t>(taps); ++k) {
      const Pixel& source = centre[offset[k]];
      r += scaled[k][source.r];
      g += scaled[k][source.g];
      b += scaled[k][source.b];
    }
    return Pixel{clampChannel(r), clampChannel(g), clampChannel(b), 255};
  }
};

// Calls step(x, y) for every pixel in an order that leaves an in-place filter with exactly
// the result of the column-by-column order (x outer, y inner), provided step(x, y) writes
// only pixel (x, y) and reads only pixels at most 2 columns and 2 rows away.
//
// Why it is the same: give each pixel the key y + 2x and visit diagonal bands of kBand keys
// one after the other, each band column by column. For a neighbour Q of P (dx, dy in
// -2..2) the column order puts Q first exactly when dx < 0, or dx = 0 and dy < 0; in both
// cases key(Q) - key(P) = dy + 2 dx <= 0, and in the other cases it is >= 0. So Q lies in
// the same band as P (visited in column order there) or in the band on the correct side.
// Each band walks a strip a few rows high, which keeps the pixels a mask reads in cache;
// the plain column walk touches a new page for every row.
//
// On several threads the columns are cut into strips at least 2 wide, and each strip walks
// its part of every band in turn; a strip starts band b once the strip on its left has
// finished band b. A neighbour Q that the column order puts before P has key(Q) <= key(P)
// and lies in P's strip (an earlier band there, or P's band in column order) or in the strip
// on its left (a band no later than P's, so finished before P's band starts). Every pair of
// neighbours is thus visited in the column order's order, on one thread or across a wait.
constexpr int64_t kBand = 64;
// The widest strip: 32 pixels are two cache lines of every row.
constexpr int64_t kStripWidth = 32;

// step(x, y) for the pixels of columns [firstX, endX) whose key lies in
// [start, start + kBand), column by column.
template <typename Step>
void visitBand(int64_t start, int64_t firstX, int64_t endX, int32_t height, Step step) {
  firstX = std::max<int64_t>(firstX, (start - height) / 2);
  endX = std::min<int64_t>(endX, (start + kBand + 1) / 2);
  for (int64_t x = firstX; x < endX; ++x) {
    const int64_t firstY = std::max<int64_t>(0, start - 2 * x);
    const int64_t endY = std::min<int64_t>(height, start + kBand - 2 * x);
    for (int64_t y = firstY; y < endY; ++y) {
      step(static_cast<int32_t>(x), static_cast<int32_t>(y));
    }
  }
}

template <typename Step>
void visitInColumnOrderResult(const Limits& limits, double costPerPixel, int32_t width,
                              int32_t height, Step step) {
  const int64_t lastKey = int64_t{height - 1} + 2 * int64_t{width - 1};
  const int32_t workers = detail::workersFor(limits, width, costPerPixel * height);
  // Four strips per thread at least, so that a thread waiting at the end has little left.
  const int64_t stripWidth =
      std::clamp<int64_t>((width + 4 * workers - 1) / (4 * workers), 2, kStripWidth);
  const int64_t strips = (width + stripWidth - 1) / stripWidth;
  if (workers <= 1 || strips <= 1) {
    // visitBand over the whole width, written out: the compiler keeps this hot loop leaner.
    for (int64_t start = 0; start <= lastKey; start += kBand) {
      const int64_t firstX = std::max<int64_t>(0, (start - height) / 2);
      const int64_t endX = std::min<int64_t>(width, (start + kBand + 1) / 2);
      for (int64_t x = firstX; x < endX; ++x) {
        const int64_t firstY = std::max<int64_t>(0, start - 2 * x);
        const int64_t endY = std::min<int64_t>(height, start + kBand - 2 * x);
        for (int64_t y = firstY; y < endY; ++y) {
          step(static_cast<int32_t>(x), static_cast<int32_t>(y));
        }
      }
    }
    return;
  }
  const int64_t bands = lastKey / kBand + 1;
  detail::WavefrontProgress done(bands);
  detail::forEachInOrder(workers, strips, [&](int64_t strip) {
    const int64_t firstX = strip * stripWidth;
    const int64_t endX = std::min<int64_t>(width, firstX + stripWidth);
    done.begin(strip);
    for (int64_t band = 2 * firstX / kBand; band <= (2 * (endX - 1) + height - 1) / kBand;
         ++band) {
      done.waitFor(strip - 1, band + 1);
      visitBand(band * kBand, firstX, endX, height, step);
      done.publish(strip, band + 1);
    }
    done.publish(strip, bands);
  });
}

// Rough nanoseconds per pixel of one core (see detail::kCostPerThread).
constexpr double kBlurCost = 25.0;
constexpr double kSharpenCost = 45.0;

}  // namespace

void Image::blur(int32_t maskSize) {
  const BlurMask* mask = blurMaskFor(maskSize);
  if (mask == nullptr) return;
  const PreparedMask prepared(*mask, width_);
  // In place with the column-by-column result: pixels to the left and above already hold
  // blurred values when a pixel's mask reads them.
  visitInColumnOrderResult(limits_, kBlurCost, width_, height_, [&](int32_t x, int32_t y) {
    if (prepared.reachesInside(x, y, width_, height_)) {
      Pixel& p = pixel(x, y);
      p = prepared.convolveInside(&p);
    } else {
      convolvePixel(*this, x, y, *mask);
    }
  });
}

void Image::sharpen(int32_t maskSize) {
  const BlurMask* mask = blurMaskFor(maskSize);
  if (mask == nullptr) {
    // Without a mask the blurred value is the pixel itself, and pushing a value away from
    // itself gives it back: (1 - 1.5) c + 1.5 c = c exactly. Nothing changes.
    return;
  }
  const PreparedMask prepared(*mask, width_);
  // The same order as blur; each pixel is final before the next, so later blurs read
  // sharpened values.
  visitInColumnOrderResult(limits_, kSharpenCost, width_, height_, [&](int32_t x, int32_t y) {
    Pixel& p = pixel(x, y);
    const Pixel original = p;
    if (prepared.reachesInside(x, y, width_, height_)) {
      p = prepared.convolveInside(&p);
    } else {
      convolvePixel(*this, x, y, *mask);
    }
    // O + (O - B) / 2, alpha included (B's alpha is 255, so alpha 100 becomes 23).
    p = p.lerp(original, 1.5);
  });
}

bool Image::edgeDetect() {
  // Every pixel reads the unchanged neighbours of a copy and is written in place, so the
  // image keeps its storage: a span or a view of pixels() stays valid across the call.
  const auto source = copyOf(*this);
  if (!source) return false;
  // Nothing changes the copy, and each row writes only its own pixels, so the rows are
  // split over the image's threads.
  const Image& from = *source;
  detail::forEachChunk(limits_, height_, 7.0 * width_, [&](int64_t firstRow, int64_t endRow) {
    for (auto y = static_cast<int32_t>(firstRow); y < endRow; ++y) {
      for (int32_t x = 0; x < width_; ++x) {
        Pixel& out = pixel(x, y);
        // Alpha becomes 0 everywhere, as in a blank image, and the border stays black.
        out = Pixel{0, 0, 0, 0};
        if (x == 0 || y == 0 || x == width_ - 1 || y == height_ - 1) continue;
        int32_t r = 0, g = 0, b = 0;
        for (int32_t dx = -1; dx <= 1; ++dx) {
          for (int32_t dy = -1; dy <= 1; ++dy) {
            const Pixel& n = from.pixel(x + dx, y + dy);
            const int32_t weight = (dx == 0 && dy == 0) ? 8 : -1;
            r += weight * n.r;
            g += weight * n.g;
            b += weight * n.b;
          }
        }
        // Low 8 bits: -1 wraps to 255, 256 to 0.
        out.set(r, g, b);
      }
    }
  });
  return true;
}

}  // namespace bmpfun
