// Dithering: reduce every colour channel to nbits bits per channel and hide the banding that
// plain quantization leaves. All three work in the image's own pixel array, allocate nothing,
// and take nbits outside 1..8 as the nearest of 1 and 8, as Pixel::quantize does.
#include <bmpfun/image.hpp>

#include <algorithm>
#include <cstddef>

#include "filters/channels.hpp"
#include "base/parallel.hpp"

namespace bmpfun {

namespace {

using channels::ByteTable;

int32_t clampBits(int32_t nbits) {
  return std::clamp(nbits, 1, 8);
}

// The 4 x 4 ordered-dither thresholds (in 16ths of a level), indexed [x mod 4][y mod 4]:
// the first index follows the pixel's column, the second its row.
constexpr int32_t kOrderedThresholds[4][4] = {
    {15, 7, 13, 5},
    {3, 11, 1, 9},
    {12, 4, 14, 6},
    {0, 8, 2, 10},
};

// Error-diffusion weights: 7/16 right, 3/16 below left, 5/16 below, 1/16 below right.
constexpr double kShareRight = 0.4375;
constexpr double kShareBelowLeft = 0.1875;
constexpr double kShareBelow = 0.3125;
constexpr double kShareBelowRight = 0.0625;

// One channel of the ordered dither: keep the quantized level unless the pixel lies more
// than the threshold above it; then take the next level up, computed as level + step in
// single precision and truncated (which need not be a level quantize itself would give:
// at 3 bits, 72 + 36.43 gives 108, not 109), never above 255.
uint8_t orderedChannel(uint8_t value, uint8_t level, int32_t threshold, float step) {
  const int32_t residual = int32_t{value} - int32_t{level};
  if (residual <= threshold) return level;
  const float next = static_cast<float>(level) + step;
  return static_cast<uint8_t>(std::min(static_cast<int32_t>(next), 255));
}

// Pixel::quantize's reduction of one colour channel to bits bits, for every byte.
ByteTable levelTable(int32_t bits) {
  return ByteTable([bits](uint8_t c) { return Pixel{c, c, c, 0}.quantize(bits).r; });
}

}  // namespace

void Image::randomDither(int32_t nbits) {
  const int32_t bits = clampBits(nbits);
  const ByteTable half = channels::scaleTable(0.5);
  const ByteTable level = levelTable(bits);
  // Column by column: the visiting order decides which random draws each pixel gets. The
  // blend is p / 2 + noise / 2 (each halved with rounding, added with saturation), then
  // quantized, which makes alpha 255.
  auto blend = [&](uint8_t c, uint8_t n) {
    return level[channels::saturatingAdd(half[c], half[n])];
  };
  for (int32_t x = 0; x < width_; ++x) {
    for (int32_t y = 0; y < height_; ++y) {
      Pixel& p = pixel(x, y);
      const Pixel noise = Pixel::random();
      p = Pixel{blend(p.r, noise.r), blend(p.g, noise.g), blend(p.b, noise.b), 255};
    }
  }
}

void Image::orderedDither(int32_t nbits) {
  const int32_t bits = clampBits(nbits);
  const int32_t shift = 8 - bits;
  const float step = 255.0f / static_cast<float>(255 >> shift);
  const ByteTable level = levelTable(bits);
  // Each pixel depends on its own value and its place in the 4 x 4 pattern alone, so the
  // rows are walked in memory order; the column-by-column order cannot be seen. One table
  // per threshold: [x mod 4][y mod 4][value].
  uint8_t dithered[4][4][256];
  for (size_t i = 0; i < 4; ++i) {
    for (size_t j = 0; j < 4; ++j) {
      const int32_t threshold = (kOrderedThresholds[i][j] << shift) / 16;
      for (size_t c = 0; c < 256; ++c) {
        const auto value = static_cast<uint8_t>(c);
        dithered[i][j][c] = orderedChannel(value, level[value], threshold, step);
      }
    }
  }
  // Rows are independent, so they are split over the image's threads.
  Pixel* const pixels = pixels_.data();
  const size_t stride = static_cast<size_t>(width_);
  detail::forEachChunk(limits_, height_, 1.0 * width_, [&](int64_t firstRow, int64_t endRow) {
    for (auto y = static_cast<size_t>(firstRow); y < static_cast<size_t>(endRow); ++y) {
      Pixel* p = pixels + y * stride;
      for (size_t x = 0; x < stride; ++x, ++p) {
        const uint8_t(&table)[256] = dithered[x % 4][y % 4];
        p->r = table[p->r];
        p->g = table[p->g];
        p->b = table[p->b];
        // Alpha keeps its value: the quantized pixel's 255 is not stored.
      }
    }
  });
}

namespace {

// Floyd-Steinberg's tables and its walk along part of a row.
struct ErrorDiffusion {
  ByteTable level, right, belowLeft, below, belowRight;

  explicit ErrorDiffusion(int32_t bits)
      : level(levelTable(bits)),
        right(channels::scaleTable(kShareRight)),
        belowLeft(channels::scaleTable(kShareBelowLeft)),
        below(channels::scaleTable(kShareBelow)),
        belowRight(channels::scaleTable(kShareBelowRight)) {}

  // Adds one share of the error to a neighbour, each channel rounded by itself. The error's
  // alpha is 0 (the quantized alpha is 255), and its share is 0 too, so alpha is unchanged.
  static void pass(Pixel& target, const Pixel& error, const ByteTable& share) {
    target.r = channels::saturatingAdd(target.r, share[error.r]);
    target.g = channels::saturatingAdd(target.g, share[error.g]);
    target.b = channels::saturatingAdd(target.b, share[error.b]);
  }

  // Columns [first, end) of a row `width` pixels wide, left to right; next is the row below,
  // null for the last row. Each pixel is quantized with the errors already passed to it.
  // kWholeRow (first 0, end width) keeps the one-thread loop as lean as it was.
  template <bool kWholeRow>
  void span(Pixel* row, Pixel* next, size_t first, size_t end, size_t width) const {
    if constexpr (kWholeRow) {
      first = 0;
      end = width;
    }
    for (size_t x = first; x < end; ++x) {
      Pixel& p = row[x];
      const Pixel q{level[p.r], level[p.g], level[p.b], 255};
      // Saturating difference: a level above the pixel gives error 0, never a negative one.
      const Pixel error{static_cast<uint8_t>(p.r > q.r ? p.r - q.r : 0),
                        static_cast<uint8_t>(p.g > q.g ? p.g - q.g : 0),
                        static_cast<uint8_t>(p.b > q.b ? p.b - q.b : 0), 0};
      p = q;
      // Neighbours outside the image simply get nothing; their weight is not redistributed.
      const bool hasRight = x + 1 < width;
      if (hasRight) pass(row[x + 1], error, right);
      if (next != nullptr) {
        if (x > 0) pass(next[x - 1], error, belowLeft);
        pass(next[x], error, below);
        if (hasRight) pass(next[x + 1], error, belowRight);
      }
    }
  }
};

}  // namespace

void Image::FloydSteinbergDither(int32_t nbits) {
  const ErrorDiffusion diffusion(clampBits(nbits));
  const size_t stride = static_cast<size_t>(width_);
  const int32_t workers = detail::workersFor(limits_, height_, 10.0 * width_);
  if (workers <= 1) {
    // Row by row, left to right.
    Pixel* row = pixels_.data();
    for (int32_t y = 0; y < height_; ++y, row += stride) {
      diffusion.span<true>(row, y + 1 < height_ ? row + stride : nullptr, 0, stride, stride);
    }
    return;
  }
  // A wavefront of bands of rows. Pixel (y, x) is changed by row y - 1 at columns x - 1, x
  // and x + 1, then by row y at columns x - 1 and x, and by no other row; every change is a
  // saturating add of a non-negative share, so the changes may land in any order as long as
  // all are in before row y quantizes the pixel.
  //
  // The threads take bands of kBand rows in order. Inside a band one thread runs the rows
  // skewed, a block of columns at a time: step t does block t - i of the band's row i, rows
  // in order, so row i does block b after row i - 1 has done block b + 1, which holds every
  // column whose changes reach block b. A band's first row, whose row above belongs to
  // another thread, waits until that row has done the columns up to the block's end + 2:
  // then the two rows never change the same pixel at the same time (the row above at
  // column x' changes x' - 1 of this row, which this row changes from x' - 2). Only a band's
  // last row publishes its progress. So the threads meet once a band rather than once a row,
  // and only one row in kBand passes from one core's cache to the other's.
  constexpr int64_t kBand = 8;
  const size_t block = std::clamp<size_t>(stride / 16, 1, 64);
  const int64_t blocks = static_cast<int64_t>((stride + block - 1) / block);
  const int64_t bands = (int64_t{height_} + kBand - 1) / kBand;
  detail::WavefrontProgress done(width_);
  detail::forEachInOrder(workers, bands, [&](int64_t band) {
    const int64_t firstRow = band * kBand;
    const int64_t rows = std::min<int64_t>(kBand, height_ - firstRow);
    done.begin(band);
    for (int64_t t = 0; t < blocks + rows - 1; ++t) {
      for (int64_t i = 0; i < rows; ++i) {
        const int64_t b = t - i;
        if (b < 0) break;  // the rows below are further behind
        if (b >= blocks) continue;  // this row is done
        const size_t first = static_cast<size_t>(b) * block;
        const size_t end = std::min(stride, first + block);
        if (i == 0) done.waitFor(band - 1, static_cast<int64_t>(std::min(stride, end + 2)));
        const int64_t y = firstRow + i;
        Pixel* const row = pixels_.data() + static_cast<size_t>(y) * stride;
        diffusion.span<false>(row, y + 1 < height_ ? row + stride : nullptr, first, end, stride);
        if (i == rows - 1) done.publish(band, static_cast<int64_t>(end));
      }
    }
  });
}

}  // namespace bmpfun
