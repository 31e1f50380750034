// Dithering: the ordered table's orientation and thresholds, the error shares and border
// rules of the diffusion, and the random draws of the random dither.
#include <bmpfun/image.hpp>

#include "image/c_random.hpp"
#include "support/test_support.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ostream>
#include <random>
#include <vector>

namespace bmpfun {
namespace {

using test::pixelsOf;
using test::uniformImage;
using test::randomImage;

// The threshold table as documented: rows by x mod 4, columns by y mod 4.
constexpr int32_t kTable[4][4] = {
    {15, 7, 13, 5},
    {3, 11, 1, 9},
    {12, 4, 14, 6},
    {0, 8, 2, 10},
};

// ---------------------------------------------------------------- ordered dither

TEST(OrderedDither, OneBitOnHundredStaysDarkAtTheThreeHighestEntries) {
  // Q = 0, residual 100; thresholds are 8T, so only T = 13, 14, 15 (104 and up) keep 0.
  // Those sit at (x mod 4, y mod 4) = (0, 0), (0, 2), (2, 2); a transposed table would
  // put one at (2, 0) instead of (0, 2).
  auto image = uniformImage(7, 10, Pixel{100, 100, 100, 33});
  image->orderedDither(1);
  int32_t dark = 0;
  for (int32_t x = 0; x < 7; ++x) {
    for (int32_t y = 0; y < 10; ++y) {
      const int32_t cx = x % 4, cy = y % 4;
      const bool stays = (cx == 0 && cy == 0) || (cx == 0 && cy == 2) || (cx == 2 && cy == 2);
      const uint8_t c = stays ? 0 : 255;
      EXPECT_EQ(image->pixel(x, y), (Pixel{c, c, c, 33})) << "at " << x << ", " << y;
      if (x < 4 && y < 4 && stays) ++dark;
    }
  }
  EXPECT_EQ(dark, 3);
}

TEST(OrderedDither, FourBitThresholdsFollowColumnThenRow) {
  // At 4 bits the threshold is T itself and a value j < 16 has level 0 and residual j, so
  // the channel rises to 17 exactly where j > T: sweeping j reveals every table entry.
  for (uint8_t j = 0; j < 16; ++j) {
    auto image = uniformImage(6, 9, Pixel{j, j, j, 0});
    image->orderedDither(4);
    for (int32_t x = 0; x < 6; ++x) {
      for (int32_t y = 0; y < 9; ++y) {
        const uint8_t c = j > kTable[x % 4][y % 4] ? 17 : 0;
        ASSERT_EQ(image->pixel(x, y), (Pixel{c, c, c, 0}))
            << "value " << int{j} << " at " << x << ", " << y;
      }
    }
  }
}

struct OrderedCase {
  int32_t nbits;
  uint8_t value;
  uint8_t low;        // the channel where the residual does not pass the threshold
  uint8_t high;       // the channel where it does
  int32_t perEntry;   // threshold = T * perEntry / divisor
  int32_t divisor;
};

TEST(OrderedDither, LevelsAndThresholdsPerDepth) {
  const OrderedCase cases[] = {
      // 255 quantizes to 254 at 3 bits; residual 1 passes only T = 0; 254 + 36.43 caps at 255.
      {3, 255, 254, 255, 2, 1},
      // 80 is level 72 with residual 8 > 2T for T <= 3; the next level is 72 + 36.43
      // truncated = 108, not the quantized level 109.
      {3, 80, 72, 108, 2, 1},
      // 200 quantizes up to 255: the negative residual never passes.
      {2, 200, 255, 255, 4, 1},
      // 5 bits: 100 is level 12 -> 98 (12 x 8.225806), residual 2 > T div 2 for T <= 3;
      // next = 98 + 8.225806 = 106.
      {5, 100, 98, 106, 1, 2},
      // 7 bits: 11 is level 5 -> 10, residual 1 > T div 8 only for T < 8; next 12.
      {7, 11, 10, 12, 1, 8},
  };
  for (const OrderedCase& c : cases) {
    auto image = uniformImage(5, 7, Pixel{c.value, c.value, c.value, 200});
    image->orderedDither(c.nbits);
    for (int32_t x = 0; x < 5; ++x) {
      for (int32_t y = 0; y < 7; ++y) {
        const int32_t threshold = kTable[x % 4][y % 4] * c.perEntry / c.divisor;
        const bool passes = static_cast<int32_t>(c.value) - static_cast<int32_t>(c.low) > threshold;
        const uint8_t v = passes ? c.high : c.low;
        ASSERT_EQ(image->pixel(x, y), (Pixel{v, v, v, 200}))
            << c.nbits << " bits on " << int{c.value} << " at " << x << ", " << y;
      }
    }
  }
}

TEST(OrderedDither, EightBitsLeaveEveryChannelAndAlpha) {
  auto image = randomImage(13, 6, 7);
  const std::vector<Pixel> before = pixelsOf(*image);
  image->orderedDither(8);
  EXPECT_EQ(pixelsOf(*image), before);
}

// ---------------------------------------------------------------- Floyd-Steinberg

// One pixel of error e at `source`; every other pixel is 255 (quantizes to itself with no
// error, and absorbs any share), except `observed`, whose 1-bit outcome tells whether it
// reached 128: starting at 127 - share it must stay dark, at 128 - share it must turn white.
struct ShareCase {
  int32_t width, height;
  int32_t sx, sy;
  uint8_t error;
  int32_t ox, oy;
  int32_t share;
};

TEST(FloydSteinberg, SharesAreRoundedSeparatelyAndFollowTheBorderTable) {
  const ShareCase cases[] = {
      // Interior pixel (1, 0): right 7/16, below-left 3/16, below 5/16, below-right 1/16.
      {3, 2, 1, 0, 1, 2, 0, 0}, {3, 2, 1, 0, 1, 0, 1, 0},
      {3, 2, 1, 0, 1, 1, 1, 0}, {3, 2, 1, 0, 1, 2, 1, 0},
      {3, 2, 1, 0, 2, 2, 0, 1}, {3, 2, 1, 0, 2, 0, 1, 0},
      {3, 2, 1, 0, 2, 1, 1, 1}, {3, 2, 1, 0, 2, 2, 1, 0},
      {3, 2, 1, 0, 4, 2, 0, 2}, {3, 2, 1, 0, 4, 0, 1, 1},
      {3, 2, 1, 0, 4, 1, 1, 1}, {3, 2, 1, 0, 4, 2, 1, 0},
      // 8 puts every share on an exact half, which rounds up: 3.5, 1.5, 2.5, 0.5.
      {3, 2, 1, 0, 8, 2, 0, 4}, {3, 2, 1, 0, 8, 0, 1, 2},
      {3, 2, 1, 0, 8, 1, 1, 3}, {3, 2, 1, 0, 8, 2, 1, 1},
      {3, 2, 1, 0, 100, 2, 0, 44}, {3, 2, 1, 0, 100, 0, 1, 19},
      {3, 2, 1, 0, 100, 1, 1, 31}, {3, 2, 1, 0, 100, 2, 1, 6},
      // First column: right, below, below-right; nothing wraps to the row's far end.
      {3, 2, 0, 0, 100, 1, 0, 44}, {3, 2, 0, 0, 100, 0, 1, 31},
      {3, 2, 0, 0, 100, 1, 1, 6}, {3, 2, 0, 0, 100, 2, 0, 0},
      // Last column: below-left and below only; no right share into the next row.
      {3, 2, 2, 0, 100, 1, 1, 19}, {3, 2, 2, 0, 100, 2, 1, 31},
      {3, 2, 2, 0, 100, 0, 1, 0},
      // One column: 5/16 straight down and nothing else.
      {1, 2, 0, 0, 100, 0, 1, 31},
      {1, 3, 0, 0, 100, 0, 1, 31},
      // Last row: right only.
      {3, 2, 0, 1, 100, 1, 1, 44}, {3, 2, 1, 1, 100, 2, 1, 44},
  };
  for (const ShareCase& c : cases) {
    for (int32_t extra = 0; extra < 2; ++extra) {
      auto image = uniformImage(c.width, c.height, Pixel{255, 255, 255, 9});
      image->pixel(c.sx, c.sy) = Pixel{c.error, c.error, c.error, 9};
      const uint8_t start = static_cast<uint8_t>(127 - c.share + extra);
      image->pixel(c.ox, c.oy) = Pixel{start, 255, start, 9};
      image->FloydSteinbergDither(1);
      const uint8_t expected = extra == 1 ? 255 : 0;
      EXPECT_EQ(image->pixel(c.ox, c.oy), (Pixel{expected, 255, expected, 255}))
          << c.width << "x" << c.height << " error " << int{c.error} << " from (" << c.sx
          << ", " << c.sy << ") to (" << c.ox << ", " << c.oy << ") from " << int{start};
      EXPECT_EQ(image->pixel(c.sx, c.sy), (Pixel{0, 0, 0, 255}));
    }
  }
}

TEST(FloydSteinberg, NegativeErrorsAreDropped) {
  // 200 quantizes up to 255 at 2 bits; a signed error of -55 would pull neighbours to 170.
  auto image = uniformImage(6, 5, Pixel{200, 200, 200, 1});
  image->FloydSteinbergDither(2);
  for (const Pixel& p : image->pixels()) EXPECT_EQ(p, (Pixel{255, 255, 255, 255}));
}

TEST(FloydSteinberg, SinglePixelIsOnlyQuantized) {
  auto image = uniformImage(1, 1, Pixel{100, 200, 30, 7});
  image->FloydSteinbergDither(1);
  EXPECT_EQ(image->pixel(0, 0), (Pixel{0, 255, 0, 255}));
}

TEST(FloydSteinberg, EightBitsKeepColoursAndMakeOpaque) {
  auto image = randomImage(9, 4, 3);
  std::vector<Pixel> expected = pixelsOf(*image);
  for (Pixel& p : expected) p.a = 255;
  image->FloydSteinbergDither(8);
  EXPECT_EQ(pixelsOf(*image), expected);
}

// ---------------------------------------------------------------- random dither

// The quantized outputs at the depths tested, written out: 1 bit is a step at 128; 3 bits
// give the eight single-precision levels, the top one 254.
uint8_t quantized(uint8_t c, int32_t nbits) {
  static const uint8_t kThreeBits[8] = {0, 36, 72, 109, 145, 182, 218, 254};
  switch (nbits) {
    case 1: return c >= 128 ? 255 : 0;
    case 3: return kThreeBits[c >> 5];
    default: return c;  // 8 bits
  }
}

uint8_t halvedSum(uint8_t p, uint8_t noise) {
  const int32_t sum = (p + 1) / 2 + (noise + 1) / 2;
  return static_cast<uint8_t>(sum > 255 ? 255 : sum);
}

TEST(RandomDither, DrawsFourValuesPerPixelInColumnOrder) {
  for (int32_t nbits : {8, 3, 1}) {
    auto image = Image::create(3, 5);
    for (int32_t x = 0; x < 3; ++x) {
      for (int32_t y = 0; y < 5; ++y) {
        image->pixel(x, y) = Pixel{static_cast<uint8_t>(40 * x + 7 * y + 1),
                                   static_cast<uint8_t>(250 - 30 * x - 11 * y),
                                   static_cast<uint8_t>((x * 5 + y) * 13), static_cast<uint8_t>(y)};
      }
    }
    const std::vector<Pixel> before = pixelsOf(*image);
    bmpfun::detail::seedRuntimeRand(1);
    image->randomDither(nbits);
    const int after = bmpfun::detail::runtimeRand();

    bmpfun::detail::seedRuntimeRand(1);
    for (int32_t x = 0; x < 3; ++x) {
      for (int32_t y = 0; y < 5; ++y) {
        bmpfun::detail::runtimeRand();  // alpha: drawn first, but the quantized alpha is always 255
        const auto nb = static_cast<uint8_t>(bmpfun::detail::runtimeRand() % 256);
        const auto ng = static_cast<uint8_t>(bmpfun::detail::runtimeRand() % 256);
        const auto nr = static_cast<uint8_t>(bmpfun::detail::runtimeRand() % 256);
        const Pixel& p = before[static_cast<size_t>(x + y * 3)];
        const Pixel expected{quantized(halvedSum(p.r, nr), nbits),
                             quantized(halvedSum(p.g, ng), nbits),
                             quantized(halvedSum(p.b, nb), nbits), 255};
        EXPECT_EQ(image->pixel(x, y), expected) << nbits << " bits at " << x << ", " << y;
      }
    }
    EXPECT_EQ(bmpfun::detail::runtimeRand(), after) << "the dither drew other than 4 values per pixel";
  }
}

// ---------------------------------------------------------------- bits outside 1..8

TEST(Dithering, BitsOutsideTheRangeAreClamped) {
  using Dither = void (Image::*)(int32_t);
  const Dither dithers[] = {&Image::randomDither, &Image::orderedDither,
                            &Image::FloydSteinbergDither};
  const int32_t cases[][2] = {{0, 1}, {-7, 1}, {INT32_MIN, 1}, {9, 8}, {100, 8}, {INT32_MAX, 8}};
  for (Dither dither : dithers) {
    for (const auto& c : cases) {
      auto outside = randomImage(7, 5, 11);
      auto inside = randomImage(7, 5, 11);
      bmpfun::detail::seedRuntimeRand(5);
      ((*outside).*dither)(c[0]);
      bmpfun::detail::seedRuntimeRand(5);
      ((*inside).*dither)(c[1]);
      EXPECT_EQ(pixelsOf(*outside), pixelsOf(*inside)) << "nbits " << c[0];
    }
  }
}

}  // namespace
}  // namespace bmpfun
