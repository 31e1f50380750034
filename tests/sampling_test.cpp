// Resampling: point, bilinear and gaussian at interior, edge, corner and outside positions.
#include <bmpfun/image.hpp>

#include "filters/masks.hpp"

#include "support/test_support.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <limits>

namespace bmpfun {
namespace {

using test::samePixel;

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr Pixel kWhite{255, 255, 255, 255};
constexpr Pixel kBlack{0, 0, 0, 255};

std::unique_ptr<Image> makeImage(int32_t w, int32_t h, const std::function<Pixel(int32_t, int32_t)>& f,
                                 int32_t method) {
  auto image = Image::create(w, h);
  EXPECT_TRUE(image);
  if (!image) return image;
  for (int32_t y = 0; y < h; ++y)
    for (int32_t x = 0; x < w; ++x) image->pixel(x, y) = f(x, y);
  image->sampling(method);
  return image;
}

// Every pixel distinct, so a wrong row or column shows.
Pixel distinct(int32_t x, int32_t y) {
  return Pixel{static_cast<uint8_t>(10 + x), static_cast<uint8_t>(50 + y),
               static_cast<uint8_t>(100 + x + 10 * y), static_cast<uint8_t>(200 + y)};
}

Pixel grey(uint8_t v) { return Pixel{v, v, v, v}; }

struct PositionCase {
  double x, y;
  Pixel want;
};

// Positions that are outside for methods 0, 1 and 2 alike.
const PositionCase kOutside[] = {
    {-0.001, 0, kWhite}, {0, -0.001, kWhite}, {4, 0, kWhite},      {0, 3, kWhite},
    {4.5, 1, kWhite},    {kNaN, 1, kWhite},   {1, kNaN, kWhite},   {kInf, 1, kWhite},
    {-kInf, 1, kWhite},  {1, kInf, kWhite},   {3e9, 1, kWhite},    {1, -3e9, kWhite},
    {1e300, 1e300, kWhite},
};

TEST(Sampling, OutsideIsWhiteForEveryMethod) {
  for (int32_t method : {kPoint, kBilinear, kGaussian}) {
    auto image = makeImage(4, 3, distinct, method);
    for (const auto& c : kOutside) {
      EXPECT_TRUE(samePixel(image->sample(c.x, c.y), c.want))
          << "method " << method << " at " << c.x << ", " << c.y;
    }
  }
}

TEST(Sampling, UnknownMethodIsOpaqueBlackEverywhere) {
  for (int32_t method : {3, -1, 100, std::numeric_limits<int32_t>::min()}) {
    auto image = makeImage(4, 3, distinct, method);
    for (const auto& c : kOutside) EXPECT_TRUE(samePixel(image->sample(c.x, c.y), kBlack));
    EXPECT_TRUE(samePixel(image->sample(1, 1), kBlack));
  }
}

TEST(Sampling, PointTruncatesTowardTheCell) {
  auto image = makeImage(4, 3, distinct, kPoint);
  const PositionCase cases[] = {
      {4 - 0.001, 0, distinct(3, 0)}, {-0.0, 0, distinct(0, 0)}, {0, -0.0, distinct(0, 0)},
      {1.9, 1.9, distinct(1, 1)},     {2.0, 0.5, distinct(2, 0)}, {3.999, 2.999, distinct(3, 2)},
      {0.999, 2.0, distinct(0, 2)},
  };
  for (const auto& c : cases) {
    EXPECT_TRUE(samePixel(image->sample(c.x, c.y), c.want)) << c.x << ", " << c.y;
  }
}

TEST(Sampling, BilinearIntegralInteriorIsExact) {
  auto image = makeImage(5, 4, distinct, kBilinear);
  for (int32_t y = 0; y < 3; ++y)
    for (int32_t x = 0; x < 4; ++x)
      EXPECT_TRUE(samePixel(image->sample(x, y), distinct(x, y))) << x << ", " << y;
}

TEST(Sampling, BilinearLastColumnAndRowShiftTheCell) {
  auto image = makeImage(5, 4, distinct, kBilinear);
  // On the last column the cell moves one column left with the weights unchanged, so the
  // result comes from the column before it alone.
  EXPECT_TRUE(samePixel(image->sample(4, 1), distinct(3, 1)));
  EXPECT_TRUE(samePixel(image->sample(2, 3), distinct(2, 2)));
  EXPECT_TRUE(samePixel(image->sample(4, 3), distinct(3, 2)));
  EXPECT_TRUE(samePixel(image->sample(0, 3), distinct(0, 2)));
}

TEST(Sampling, BilinearRoundsEachTermTwice) {
  struct Case {
    uint8_t v;
    uint8_t want;
  };
  // At (0.5, 0.5) every weight is 0.5: each term rounds v/2 up, then again.
  const Case cases[] = {{1, 4}, {2, 4}, {3, 4}, {4, 4}, {5, 8}, {100, 100}, {255, 255}, {0, 0}};
  for (const auto& c : cases) {
    auto image = makeImage(3, 3, [&](int32_t, int32_t) { return grey(c.v); }, kBilinear);
    EXPECT_TRUE(samePixel(image->sample(0.5, 0.5), grey(c.want))) << int{c.v};
  }
}

TEST(Sampling, BilinearScalesByColumnWeightBeforeRowWeight) {
  // Only (0, 0) holds 2. At (0.75, 0.5): wL = 0.25, wT = 0.5. Column first gives
  // round(round(0.5) * 0.5) = 1; row first or a single product would give 0.
  auto image = makeImage(3, 3, [](int32_t x, int32_t y) { return grey(x == 0 && y == 0 ? 2 : 0); },
                         kBilinear);
  EXPECT_TRUE(samePixel(image->sample(0.75, 0.5), grey(1)));
}

TEST(Sampling, BilinearInteriorWeights) {
  // Columns hold 0, 100, 200 (alpha too); rows are alike.
  auto image = makeImage(3, 3, [](int32_t x, int32_t) { return grey(static_cast<uint8_t>(100 * x)); },
                         kBilinear);
  const PositionCase cases[] = {
      {0.25, 1, grey(25)},   // 100 * 0.25
      {1.25, 0, grey(125)},  // 100 * 0.75 + 200 * 0.25
      {0.5, 0.5, grey(50)},  // 2 x round(round(100 * .5) * .5)
      // Last column: cell over columns 1 and 2 with wL = (2 - 2.5) + 1 = 0.5, wR = 0.5.
      {2.5, 1, grey(150)},
      {2.0, 1, grey(100)},   // at x = width - 1 exactly: the column before alone
      {2.75, 1, grey(175)},  // wL = 0.25, wR = 0.75
  };
  for (const auto& c : cases) {
    EXPECT_TRUE(samePixel(image->sample(c.x, c.y), c.want)) << c.x << ", " << c.y;
  }
}

TEST(Sampling, BilinearCornerCellOfTwoByTwo) {
  auto uniform = makeImage(2, 2, [](int32_t, int32_t) { return grey(100); }, kBilinear);
  EXPECT_TRUE(samePixel(uniform->sample(1.5, 1.5), grey(100)));
  auto single = makeImage(2, 2, [](int32_t x, int32_t y) { return grey(x == 1 && y == 0 ? 100 : 0); },
                          kBilinear);
  EXPECT_TRUE(samePixel(single->sample(1.5, 1.5), grey(25)));
  EXPECT_TRUE(samePixel(single->sample(1.0, 1.0), grey(0)));  // pixel (0, 0) alone
  EXPECT_TRUE(samePixel(single->sample(-0.001, 0), kWhite));
  EXPECT_TRUE(samePixel(single->sample(0, 2), kWhite));
}

TEST(Sampling, BilinearOnePixelWideOrHighUsesColumnOrRowZero) {
  // One column: the last-column branch wants column -1; column 0 stands in and the weights
  // stay (X0 - x) + 1 and x - X0, so at x = 0.5 both halves come from column 0.
  auto column = makeImage(1, 3, [](int32_t, int32_t y) { return grey(static_cast<uint8_t>(101 + y)); },
                          kBilinear);
  EXPECT_TRUE(samePixel(column->sample(0, 1), grey(102)));
  // 101 halves to 51 twice: 102, where the border pixel itself would give 101.
  EXPECT_TRUE(samePixel(column->sample(0.5, 0), grey(102)));
  EXPECT_TRUE(samePixel(column->sample(0.5, 0.5), grey(104)));  // four terms of 26
  auto row = makeImage(3, 1, [](int32_t x, int32_t) { return grey(static_cast<uint8_t>(101 + x)); },
                       kBilinear);
  EXPECT_TRUE(samePixel(row->sample(1, 0), grey(102)));
  EXPECT_TRUE(samePixel(row->sample(0, 0.5), grey(102)));
  EXPECT_TRUE(samePixel(row->sample(0.5, 0.5), grey(104)));
  auto dot = makeImage(1, 1, [](int32_t, int32_t) { return grey(100); }, kBilinear);
  EXPECT_TRUE(samePixel(dot->sample(0, 0), grey(100)));
  EXPECT_TRUE(samePixel(dot->sample(0.5, 0.5), grey(100)));
  EXPECT_TRUE(samePixel(dot->sample(0.999, 0.999), grey(100)));
  EXPECT_TRUE(samePixel(dot->sample(1, 0), kWhite));
}

TEST(Sampling, GaussianUniformInterior) {
  struct Case {
    uint8_t v;
    uint8_t want;
  };
  const Case cases[] = {{100, 98}, {128, 130}, {200, 204}, {255, 255}, {1, 0}, {0, 0}};
  for (const auto& c : cases) {
    // Alpha 0 in the image: the accumulator's alpha starts at 255 and stays there.
    auto image = makeImage(7, 7, [&](int32_t, int32_t) { return Pixel{c.v, c.v, c.v, 0}; }, kGaussian);
    const Pixel want{c.want, c.want, c.want, 255};
    EXPECT_TRUE(samePixel(image->sample(3, 3), want)) << int{c.v};
    EXPECT_TRUE(samePixel(image->sample(4.4, 4.4), want)) << int{c.v};
  }
}

TEST(Sampling, GaussianClipsWithoutRenormalising) {
  auto white = makeImage(4, 4, [](int32_t, int32_t) { return Pixel{255, 255, 255, 0}; }, kGaussian);
  // At (0, 0) only K[3..4][3..4] fall inside: 16 + 4 + 4 + 1 of 256.
  EXPECT_TRUE(samePixel(white->sample(0, 0), Pixel{25, 25, 25, 255}));
  // At (3.9, 3.9) the window starts at column and row 1; K[0..2][0..2] fall inside.
  EXPECT_TRUE(samePixel(white->sample(3.9, 3.9), Pixel{121, 121, 121, 255}));
  EXPECT_TRUE(samePixel(white->sample(-0.001, 0), kWhite));
}

TEST(Sampling, GaussianWindowIsCentredHalfAPixelUpLeft) {
  // One bright pixel at (2, 2): weights read back the mask entry that falls on it.
  auto image = makeImage(6, 6, [](int32_t x, int32_t y) { return grey(x == 2 && y == 2 ? 255 : 0); },
                         kGaussian);
  const PositionCase cases[] = {
      {3.0, 3.0, {36, 36, 36, 255}},  // centre on column 2: 255 * 36 / 256 = 35.9
      {3.49, 3.49, {36, 36, 36, 255}},
      {3.5, 3.0, {24, 24, 24, 255}},  // centre moves to column 3: K[1][2] = 24/256
      {4.0, 4.0, {16, 16, 16, 255}},  // K[1][1]
      {5.0, 3.0, {6, 6, 6, 255}},     // K[0][2]
      {5.5, 3.0, {0, 0, 0, 255}},     // pixel left the window
      {1.0, 1.0, {1, 1, 1, 255}},     // K[4][4] = 1/256 * 255 rounds to 1
  };
  for (const auto& c : cases) {
    EXPECT_TRUE(samePixel(image->sample(c.x, c.y), c.want)) << c.x << ", " << c.y;
  }
}

TEST(Sampling, MasksSumToOneAndSelectBySize) {
  EXPECT_EQ(blurMaskFor(1), nullptr);
  EXPECT_EQ(blurMaskFor(0), nullptr);
  EXPECT_EQ(blurMaskFor(-7), nullptr);
  EXPECT_EQ(blurMaskFor(5), &kBinomialMask5);
  EXPECT_EQ(blurMaskFor(1000), &kBinomialMask5);
  struct Entry {
    int32_t size, a, b;
    double weight256;
  };
  const Entry entries[] = {
      {2, 2, 2, 64}, {2, 3, 3, 64}, {2, 1, 2, 0},  {2, 2, 4, 0},  {3, 2, 2, 64}, {3, 1, 1, 16},
      {3, 1, 2, 32}, {3, 0, 2, 0},  {4, 2, 2, 59}, {4, 1, 1, 1},  {4, 1, 4, 1},  {4, 2, 4, 2},
      {4, 0, 2, 0},  {4, 4, 3, 2},  {5, 2, 2, 36}, {5, 0, 0, 1},  {5, 0, 2, 6},  {5, 1, 2, 24},
  };
  for (const auto& e : entries) {
    EXPECT_EQ((*blurMaskFor(e.size))[e.a][e.b] * 256.0, e.weight256) << e.size << " " << e.a << e.b;
  }
  for (int32_t size : {2, 3, 4, 5}) {
    const BlurMask& m = *blurMaskFor(size);
    double sum = 0;
    for (int a = 0; a < 5; ++a)
      for (int b = 0; b < 5; ++b) {
        sum += m[a][b];
        EXPECT_EQ(m[a][b], m[b][a]);
      }
    EXPECT_EQ(sum, 1.0) << size;
  }
}

}  // namespace
}  // namespace bmpfun
