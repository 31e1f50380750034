// Neighbourhood filters: convolvePixel's edge substitution and rounding, the in-place
// column-major blur and sharpen (checked against the plain ones of the test support), and the
// wrapping Laplacian of edgeDetect.
#include <bmpfun/image.hpp>

#include "filters/masks.hpp"

#include "support/reference_ops.hpp"
#include "support/test_support.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <iterator>
#include <ostream>
#include <random>
#include <utility>
#include <vector>

namespace bmpfun {
namespace {

using test::pixelsOf;
using test::uniformImage;
using test::randomImage;

// Every byte value in every channel: 16 x 16 pixels, channels offset from each other.
std::unique_ptr<Image> everyByteImage() {
  auto image = Image::create(16, 16);
  for (int32_t i = 0; i < 256; ++i) {
    Pixel& p = image->pixels()[static_cast<size_t>(i)];
    p = Pixel{static_cast<uint8_t>(i), static_cast<uint8_t>(255 - i),
              static_cast<uint8_t>(i * 7), static_cast<uint8_t>(i * 13 + 5)};
  }
  return image;
}

// ---------------------------------------------------------------- convolvePixel

struct TapCase {
  int32_t x, y;    // the centre
  int32_t a, b;    // the only tap with weight 1
  int32_t sx, sy;  // the pixel it must read
};

TEST(ConvolvePixel, OutsideCoordinatesAreReplacedByTheCentres) {
  const TapCase cases[] = {
      {1, 0, 0, 2, 1, 0},  // column -1 reads column 1 (the centre's), not the border column 0
      {1, 1, 2, 0, 1, 1},  // row -1 reads row 1
      {1, 1, 0, 0, 1, 1},  // both outside: the centre itself
      {1, 1, 3, 0, 2, 1},  // column inside, row outside: the centre's row
      {1, 1, 0, 3, 1, 2},  // column outside, row inside: the centre's column
      {3, 2, 4, 4, 3, 2},  // past the right and bottom edges
      {2, 1, 4, 1, 2, 0},  // column 4 of a 4-wide image
      {2, 2, 2, 4, 2, 2},  // row 4 of a 3-high image
      {0, 0, 3, 4, 1, 2},  // both inside
      {2, 2, 0, 0, 0, 0},  // both inside, up and left
      {2, 1, 0, 0, 0, 1},  // column inside, row -1 outside: the centre's row
  };
  for (const TapCase& c : cases) {
    auto image = Image::create(4, 3);
    for (int32_t x = 0; x < 4; ++x) {
      for (int32_t y = 0; y < 3; ++y) {
        image->pixel(x, y) = Pixel{static_cast<uint8_t>(10 * x + y + 1),
                                   static_cast<uint8_t>(200 - 10 * x - y),
                                   static_cast<uint8_t>(50 + 3 * x + 17 * y), 9};
      }
    }
    const Pixel source = image->pixel(c.sx, c.sy);
    BlurMask mask = {};
    mask[c.a][c.b] = 1.0;
    convolvePixel(*image, c.x, c.y, mask);
    EXPECT_EQ(image->pixel(c.x, c.y), (Pixel{source.r, source.g, source.b, 255}))
        << "centre " << c.x << ", " << c.y << " tap " << c.a << ", " << c.b;
  }
}

TEST(ConvolvePixel, EachTermIsRoundedByItself) {
  // Four quarters of 1 round to 0 each; of 2 to 1 each; of 3 to 1 each (0.75 -> 1).
  const uint8_t cases[][2] = {{1, 0}, {2, 4}, {3, 4}, {6, 8}, {255, 255}};
  BlurMask mask = {};
  mask[1][1] = mask[1][3] = mask[3][1] = mask[3][3] = 0.25;
  for (const auto& c : cases) {
    auto image = uniformImage(5, 5, Pixel{c[0], c[0], c[0], 0});
    convolvePixel(*image, 2, 2, mask);
    EXPECT_EQ(image->pixel(2, 2), (Pixel{c[1], c[1], c[1], 255})) << int{c[0]};
  }
}

TEST(ConvolvePixel, MatchesThePlainConvolutionEverywhere) {
  // Arbitrary masks in 256ths, many weights 0, summing to anything.
  std::mt19937 rng(42);
  for (int32_t round = 0; round < 20; ++round) {
    BlurMask mask = {};
    for (auto& row : mask) {
      for (double& w : row) w = (rng() % 3 == 0) ? 0.0 : static_cast<double>(rng() % 80) / 256.0;
    }
    const int32_t width = 1 + static_cast<int32_t>(rng() % 7);
    const int32_t height = 1 + static_cast<int32_t>(rng() % 7);
    auto image = randomImage(width, height, static_cast<uint32_t>(round));
    for (int32_t x = 0; x < width; ++x) {
      for (int32_t y = 0; y < height; ++y) {
        const Pixel expected = reference::convolve(*image, x, y, mask);
        convolvePixel(*image, x, y, mask);
        ASSERT_EQ(image->pixel(x, y), expected) << width << "x" << height << " at " << x << ", " << y;
      }
    }
  }
}

TEST(ConvolvePixel, CentreOutsideTheImageChangesNothing) {
  auto image = randomImage(3, 3, 2);
  const std::vector<Pixel> before = pixelsOf(*image);
  for (const auto& at : {std::pair{-1, 0}, std::pair{0, -1}, std::pair{3, 0}, std::pair{0, 3}}) {
    convolvePixel(*image, at.first, at.second, kBinomialMask5);
  }
  EXPECT_EQ(pixelsOf(*image), before);
}

// ---------------------------------------------------------------- blur

TEST(Blur, BoxOfTwoOnUniformImagesRoundsEachQuarter) {
  // min(255, 4 x floor(c / 4 + 0.5)); the alpha becomes 255.
  const uint8_t cases[][2] = {{1, 0}, {2, 4}, {10, 12}, {100, 100}, {255, 255}, {0, 0}};
  for (const auto& c : cases) {
    auto image = uniformImage(5, 4, Pixel{c[0], c[0], c[0], 7});
    image->blur(2);
    for (const Pixel& p : image->pixels()) {
      ASSERT_EQ(p, (Pixel{c[1], c[1], c[1], 255})) << int{c[0]};
    }
  }
}

TEST(Blur, BoxOfTwoAtTheRightAndBottomEdges) {
  // r: (0,0)=0 (1,0)=100 / (0,1)=0 (1,1)=200. The last column counts its own pixel and the
  // one below twice, the last row its own and its right neighbour, the corner itself 4 times.
  auto image = uniformImage(2, 2, Pixel{0, 0, 0, 0});
  image->pixel(1, 0).r = 100;
  image->pixel(1, 1).r = 200;
  image->blur(2);
  EXPECT_EQ(image->pixel(0, 0).r, 75);
  EXPECT_EQ(image->pixel(1, 0).r, 150);
  EXPECT_EQ(image->pixel(0, 1).r, 100);
  EXPECT_EQ(image->pixel(1, 1).r, 200);
}

TEST(Blur, WorksInPlaceColumnByColumn) {
  // Only (0, 1) is lit. With the 3 x 3 mask, column order (0,0), (0,1), (1,0), (1,1) and
  // each pixel reading the already blurred ones gives these; a blur of an unchanged copy
  // gives 48, 16, 144, 48 and row order gives 48, 25, 155, 37.
  auto image = uniformImage(2, 2, Pixel{0, 0, 0, 255});
  image->pixel(0, 1) = Pixel{255, 0, 0, 255};
  image->blur(3);
  EXPECT_EQ(image->pixel(0, 0).r, 48);
  EXPECT_EQ(image->pixel(1, 0).r, 19);
  EXPECT_EQ(image->pixel(0, 1).r, 153);
  EXPECT_EQ(image->pixel(1, 1).r, 35);
  // Along one row: (1, 0) reads the blurred 64 of (0, 0), giving 208 rather than 192.
  auto row = uniformImage(2, 1, Pixel{0, 0, 0, 255});
  row->pixel(1, 0).r = 255;
  row->blur(3);
  EXPECT_EQ(row->pixel(0, 0).r, 64);
  EXPECT_EQ(row->pixel(1, 0).r, 208);
}

TEST(Blur, MaskSizesBelowTwoChangeNothing) {
  for (int32_t size : {1, 0, -3, INT32_MIN}) {
    auto image = everyByteImage();
    const std::vector<Pixel> before = pixelsOf(*image);
    image->blur(size);
    EXPECT_EQ(pixelsOf(*image), before) << size;
    image->sharpen(size);
    EXPECT_EQ(pixelsOf(*image), before) << size;
  }
}

TEST(Blur, SizesFromFiveUpUseTheBinomialMask) {
  for (int32_t size : {6, 7, INT32_MAX}) {
    auto five = randomImage(9, 8, 5);
    auto other = randomImage(9, 8, 5);
    five->blur(5);
    other->blur(size);
    EXPECT_EQ(pixelsOf(*other), pixelsOf(*five)) << size;
  }
}

TEST(Blur, SinglePixelReadsOnlyItself) {
  // Every one of the 25 terms reads the pixel: with the binomial mask, a value of 255 sums
  // the 25 rounded terms 1+4+6+4+1, 4+16+24+16+4, ... (255 x w / 256 each, rounded).
  auto image = uniformImage(1, 1, Pixel{255, 10, 1, 0});
  image->blur(5);
  // 10: only the 16, 24 and 36 weights give 1 (0.625, 0.9375, 1.406); four 16s, four 24s
  // and the 36 give 9. 1: every term rounds to 0.
  EXPECT_EQ(image->pixel(0, 0), (Pixel{255, 9, 0, 255}));
}

// The fast path (direct reads, table lookups, zero taps skipped) against the plain one.
TEST(Blur, FastPathEqualsThePlainConvolution) {
  const int32_t sizes[][2] = {{1, 1}, {1, 9}, {9, 1}, {2, 2}, {2, 7}, {3, 3}, {4, 5}, {5, 5},
                              {6, 9}, {7, 4}, {13, 11}, {17, 3}, {31, 33}, {64, 7},
                              // Several diagonal bands of the cache-friendly visit.
                              {97, 41}, {3, 150}, {150, 3}};
  uint32_t seed = 100;
  for (const auto& size : sizes) {
    for (int32_t maskSize = -1; maskSize <= 7; ++maskSize) {
      for (int32_t round = 0; round < 3; ++round) {
        ++seed;
        auto fast = randomImage(size[0], size[1], seed);
        auto plain = randomImage(size[0], size[1], seed);
        fast->blur(maskSize);
        reference::blur(*plain, maskSize);
        ASSERT_EQ(pixelsOf(*fast), pixelsOf(*plain))
            << "blur " << maskSize << " on " << size[0] << "x" << size[1] << " seed " << seed;
        fast = randomImage(size[0], size[1], seed);
        plain = randomImage(size[0], size[1], seed);
        fast->sharpen(maskSize);
        reference::sharpen(*plain, maskSize);
        ASSERT_EQ(pixelsOf(*fast), pixelsOf(*plain))
            << "sharpen " << maskSize << " on " << size[0] << "x" << size[1] << " seed " << seed;
      }
    }
  }
}

TEST(Blur, FastPathEqualsThePlainConvolutionOnSmoothImages) {
  // Gradients keep the sums away from the 255 cap, where the rounding of each term matters.
  for (int32_t maskSize = 2; maskSize <= 5; ++maskSize) {
    auto fast = uniformImage(23, 19, Pixel{});
    for (int32_t x = 0; x < 23; ++x) {
      for (int32_t y = 0; y < 19; ++y) {
        fast->pixel(x, y) = Pixel{static_cast<uint8_t>(x * 11), static_cast<uint8_t>(y * 13),
                                  static_cast<uint8_t>((x * y) % 7), static_cast<uint8_t>(x + y)};
      }
    }
    auto plain = uniformImage(23, 19, Pixel{});
    std::copy(fast->pixels().begin(), fast->pixels().end(), plain->pixels().begin());
    fast->blur(maskSize);
    reference::blur(*plain, maskSize);
    EXPECT_EQ(pixelsOf(*fast), pixelsOf(*plain)) << maskSize;
  }
}

// ---------------------------------------------------------------- sharpen

struct SharpenCase {
  Pixel in;
  Pixel out;
};

TEST(Sharpen, BoxOfTwoOnUniformImages) {
  // The blurred value B has alpha 255, so an alpha a becomes floor(1.5 a - 127).
  const SharpenCase cases[] = {
      {{100, 100, 100, 255}, {100, 100, 100, 255}},
      {{1, 1, 1, 255}, {2, 2, 2, 255}},      // B rounds to 0; 1.5 + 0.5 floors to 2
      {{10, 2, 255, 100}, {9, 1, 255, 23}},  // B = 12, 4, 255
      {{0, 0, 0, 0}, {0, 0, 0, 0}},
  };
  for (const SharpenCase& c : cases) {
    auto image = uniformImage(4, 6, c.in);
    image->sharpen(2);
    for (const Pixel& p : image->pixels()) ASSERT_EQ(p, c.out);
  }
}

// ---------------------------------------------------------------- edgeDetect

struct EdgeCase {
  uint8_t centre;
  uint8_t around;
  uint8_t result;
};

TEST(EdgeDetect, LaplacianKeepsTheLowEightBits) {
  const EdgeCase cases[] = {
      {255, 0, 248},  // 2040
      {0, 255, 8},    // -2040
      {40, 35, 40},   // 320 - 280
      {32, 0, 0},     // 256 wraps to 0
      {33, 0, 8},     // 264
      {0, 1, 248},    // -8
      {7, 7, 0},
  };
  const size_t n = std::size(cases);
  for (size_t i = 0; i < n; ++i) {
    // r, g and b each get a different case, so a channel mix-up shows.
    const EdgeCase& cr = cases[i];
    const EdgeCase& cg = cases[(i + 1) % n];
    const EdgeCase& cb = cases[(i + 2) % n];
    auto image = uniformImage(3, 3, Pixel{cr.around, cg.around, cb.around, 200});
    image->pixel(1, 1) = Pixel{cr.centre, cg.centre, cb.centre, 77};
    ASSERT_TRUE(image->edgeDetect());
    for (int32_t x = 0; x < 3; ++x) {
      for (int32_t y = 0; y < 3; ++y) {
        const Pixel expected =
            (x == 1 && y == 1) ? Pixel{cr.result, cg.result, cb.result, 0} : Pixel{0, 0, 0, 0};
        EXPECT_EQ(image->pixel(x, y), expected) << "case " << i << " at " << x << ", " << y;
      }
    }
  }
}

TEST(EdgeDetect, ReadsOnlyTheUnchangedSource) {
  auto image = randomImage(9, 7, 8);
  const std::vector<Pixel> before = pixelsOf(*image);
  auto at = [&](int32_t x, int32_t y) { return before[static_cast<size_t>(x + y * 9)]; };
  const Pixel* storage = image->pixels().data();
  ASSERT_TRUE(image->edgeDetect());
  EXPECT_EQ(image->pixels().data(), storage);  // in place: views of pixels() stay valid
  for (int32_t x = 0; x < 9; ++x) {
    for (int32_t y = 0; y < 7; ++y) {
      Pixel expected{0, 0, 0, 0};
      if (x > 0 && y > 0 && x < 8 && y < 6) {
        int32_t r = 9 * at(x, y).r, g = 9 * at(x, y).g, b = 9 * at(x, y).b;
        for (int32_t dx = -1; dx <= 1; ++dx) {
          for (int32_t dy = -1; dy <= 1; ++dy) {
            r -= at(x + dx, y + dy).r;
            g -= at(x + dx, y + dy).g;
            b -= at(x + dx, y + dy).b;
          }
        }
        expected = Pixel{static_cast<uint8_t>(r & 255), static_cast<uint8_t>(g & 255),
                         static_cast<uint8_t>(b & 255), 0};
      }
      EXPECT_EQ(image->pixel(x, y), expected) << x << ", " << y;
    }
  }
}

TEST(EdgeDetect, UniformAndNarrowImagesComeOutBlack) {
  // Below 3 x 3 every pixel is a border pixel, whatever the content.
  const int32_t narrow[][2] = {{1, 1}, {2, 2}, {1, 5}, {5, 1}, {2, 7}, {7, 2}};
  for (const auto& size : narrow) {
    auto image = randomImage(size[0], size[1], 4);
    ASSERT_TRUE(image->edgeDetect());
    for (const Pixel& p : image->pixels()) ASSERT_EQ(p, (Pixel{0, 0, 0, 0})) << size[0] << "x" << size[1];
  }
  auto uniform = uniformImage(6, 5, Pixel{90, 3, 250, 255});
  ASSERT_TRUE(uniform->edgeDetect());
  for (const Pixel& p : uniform->pixels()) ASSERT_EQ(p, (Pixel{0, 0, 0, 0}));
}

}  // namespace
}  // namespace bmpfun
