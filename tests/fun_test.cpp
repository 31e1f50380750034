// The fun warps and the mosaic: positions that hinge on the truncated pi and its stored
// reciprocal, the linear store rule of effect 2, and the mosaic's cells and channel table.
#include "support/reference_ops.hpp"
#include "support/test_support.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

namespace bmpfun::test {
namespace {

constexpr Pixel kWhite{255, 255, 255, 255};
constexpr Pixel kBlank{255, 255, 255, 0};  // a new image's pixel
constexpr Pixel kBlack{0, 0, 0, 255};

// ---------------------------------------------------------------- effect 1

struct DiscCase {
  int32_t width;
  int32_t i, c;    // offset from the centre: column, row
  int32_t column;  // source column expected, -1 for white
  int32_t row;
};

// The source is 10 high, so the disc is 21 x 21 with its centre at (10, 10).
TEST(FunDisc, RaysHitTheColumnsTheStoredReciprocalGives) {
  const DiscCase cases[] = {
      {100, 0, -1, 24, 1},  {100, 0, -9, 24, 9},   // above: x = 24.99999...
      {100, 0, 3, 75, 3},   {100, 0, 9, 75, 9},    // below
      {100, 5, 0, 50, 5},   {100, 0, 0, 50, 0},    // right, and the centre itself
      {100, -4, 0, -1, 0},  {100, -9, 0, -1, 0},   // left: x = 100.00001..., outside
      {101, -4, 0, 100, 4}, {101, -1, 0, 100, 1},  // left fits in a 101-wide source
      {101, 0, -2, 24, 2},  {101, 0, 2, 75, 2},
      {100, 0, 10, -1, 0},  {100, 10, 10, -1, 0},  // radius h and beyond: outside
      {100, -10, -10, -1, 0},
  };
  for (const DiscCase& t : cases) {
    SCOPED_TRACE("width " + std::to_string(t.width) + " offset (" + std::to_string(t.i) + ", " +
                 std::to_string(t.c) + ")");
    auto source = coded(t.width, 10);
    Status status{.cause = Cause::badSize};
    auto out = source->fun(1, &status);
    ASSERT_TRUE(out);
    EXPECT_EQ(status, Cause::ok);
    ASSERT_EQ(out->width(), 21);
    ASSERT_EQ(out->height(), 21);
    const Pixel expected = t.column < 0 ? kWhite : source->pixel(t.column, t.row);
    EXPECT_EQ(out->pixel(t.i + 10, t.c + 10), expected);
  }
}

TEST(FunDisc, SizeComesFromTheHeightAlone) {
  const int32_t sizes[][2] = {{1, 1}, {3, 1}, {1, 5}, {40, 2}, {2, 40}};
  for (const auto& s : sizes) {
    auto out = coded(s[0], s[1])->fun(1);
    ASSERT_TRUE(out);
    EXPECT_EQ(out->width(), 2 * s[1] + 1);
    EXPECT_EQ(out->height(), 2 * s[1] + 1);
    EXPECT_EQ(out->pixel(0, 0), kWhite);  // corners are always outside the disc
    EXPECT_EQ(out->samplingMethod(), kPoint);
  }
}

// ---------------------------------------------------------------- effect 0

// On a 4 x 8 source the amplitude is 4; the sine of the truncated quarter turn falls just
// short of 1, so column 1 is lifted by 3 rows, not 4, and column 3 lowered by 4.
TEST(FunSine, ColumnsShiftByTheTruncatedSine) {
  auto source = coded(4, 8);
  auto out = source->fun(0);
  ASSERT_TRUE(out);
  ASSERT_EQ(out->width(), 4);
  ASSERT_EQ(out->height(), 8);
  // For each column, the source row sampled for output row k is k + shift, where the shift
  // is the floor of the real one.
  const int32_t shift[4] = {0, 3, 0, -4};
  const double realShift[4] = {0.0, 3.9999999999998, 0.0000026, -3.9999999999998};
  for (int32_t x = 0; x < 4; ++x) {
    for (int32_t k = 0; k < 8; ++k) {
      SCOPED_TRACE("output (" + std::to_string(x) + ", " + std::to_string(k) + ")");
      const double y = k + realShift[x];
      const Pixel expected = (y < 0.0 || y >= 8.0) ? kWhite : source->pixel(x, k + shift[x]);
      EXPECT_EQ(out->pixel(x, k), expected);
    }
  }
}

TEST(FunSine, HeightOneIsTheIdentityAndColumnZeroNeverMoves) {
  for (int32_t width : {1, 2, 7, 50}) {
    auto source = coded(width, 1);
    auto out = source->fun(0);
    ASSERT_TRUE(out);
    EXPECT_EQ(pixelsOf(*out), pixelsOf(*source)) << "width " << width;
  }
  for (int32_t height : {2, 9, 31}) {
    auto source = coded(13, height);
    auto out = source->fun(0);
    ASSERT_TRUE(out);
    for (int32_t k = 0; k < height; ++k) EXPECT_EQ(out->pixel(0, k), source->pixel(0, k));
  }
}

// ---------------------------------------------------------------- effect 2

// 2 x 2: stores with c >= 0 land past the four elements; (i, c) = (-2, -1) and (-1, -1) go
// to elements 2 and 3 and are replaced by (0, -2) and (1, -2). The four surviving samples
// lie outside the source, so every element is a written white (alpha 255, not the blank 0);
// the replaced (-1, -1) lies inside and would have left source pixel (0, 1) in element 3.
TEST(FunPolarMap, TwoByTwoEveryElementWritten) {
  auto out = coded(2, 2)->fun(2);
  ASSERT_TRUE(out);
  ASSERT_EQ(out->width(), 2);
  ASSERT_EQ(out->height(), 2);
  for (const Pixel& p : out->pixels()) EXPECT_EQ(p, kWhite);
}

// 5 x 4: the disc is 9 wide, so columns i + h past 4 spill into the next row, and the later
// store wins. Element 16 is reached by (-3, -1) (source (0, 3)) and later by (2, -2).
TEST(FunPolarMap, LaterStoresReplaceEarlierOnes) {
  auto source = coded(5, 4);
  auto out = source->fun(2);
  ASSERT_TRUE(out);
  ASSERT_EQ(out->width(), 5);
  ASSERT_EQ(out->height(), 4);
  struct Element {
    size_t element;
    int32_t column, row;  // source pixel, -1 for white
  };
  const Element cases[] = {
      {16, 1, 2},  // (2, -2) over (-3, -1)
      {15, 1, 2},  // (1, -2) over (-4, -1), which was white
      {19, 0, 1},  // (0, -1): x = 0.9999998, the stored reciprocal again
      {17, 1, 3},  // (3, -2) over (-2, -1), which samples source (0, 2)
      {0, -1, 0},  // (-4, -4): radius past the source
  };
  for (const Element& e : cases) {
    SCOPED_TRACE("element " + std::to_string(e.element));
    const Pixel expected = e.column < 0 ? kWhite : source->pixel(e.column, e.row);
    EXPECT_EQ(out->pixels()[e.element], expected);
  }
}

// A source at least 2h + 1 wide: the upper half of the disc in columns 0 ... 2h, the rest
// of the image untouched.
TEST(FunPolarMap, WideSourceHoldsTheUpperHalfOfTheDisc) {
  for (int32_t width : {9, 12, 30}) {
    auto source = coded(width, 4);
    auto disc = source->fun(1);
    auto out = source->fun(2);
    ASSERT_TRUE(disc);
    ASSERT_TRUE(out);
    for (int32_t y = 0; y < 4; ++y) {
      for (int32_t x = 0; x < width; ++x) {
        SCOPED_TRACE("width " + std::to_string(width) + " pixel (" + std::to_string(x) + ", " +
                     std::to_string(y) + ")");
        EXPECT_EQ(out->pixel(x, y), x <= 8 ? disc->pixel(x, y) : kBlank);
      }
    }
  }
}

// ---------------------------------------------------------------- all effects

TEST(Fun, UnknownEffectIsRefusedBeforeAnythingElse) {
  // A limit the disc would pass: an unknown effect must still say noSuchEffect.
  auto source = Image::create(10, 10, Limits{150});
  ASSERT_TRUE(source);
  for (int32_t effect : {3, -1, 4, std::numeric_limits<int32_t>::min(),
                         std::numeric_limits<int32_t>::max()}) {
    Status status{.cause = Cause::ok};
    EXPECT_FALSE(source->fun(effect, &status)) << effect;
    EXPECT_EQ(status, Cause::noSuchEffect) << effect;
  }
  Status status{.cause = Cause::ok};
  EXPECT_FALSE(source->fun(1, &status));  // 21 x 21 = 441 > 150
  EXPECT_EQ(status, Cause::tooLarge);
  auto same = source->fun(2, &status);  // the source's size fits
  ASSERT_TRUE(same);
  EXPECT_EQ(status, Cause::ok);
  EXPECT_EQ(same->limits().maxPixels, 150);
}

// A method without a sampler gives opaque black for every sample, in or out of the source.
TEST(Fun, UnknownSamplingMethodStoresBlack) {
  auto source = coded(12, 4);
  source->sampling(3);
  for (int32_t effect : {0, 1}) {
    auto out = source->fun(effect);
    ASSERT_TRUE(out);
    for (const Pixel& p : out->pixels()) ASSERT_EQ(p, kBlack) << "effect " << effect;
    EXPECT_EQ(out->samplingMethod(), kPoint);
  }
  auto mapped = source->fun(2);
  ASSERT_TRUE(mapped);
  for (int32_t y = 0; y < 4; ++y) {
    for (int32_t x = 0; x < 12; ++x) EXPECT_EQ(mapped->pixel(x, y), x <= 8 ? kBlack : kBlank);
  }
}

// ---------------------------------------------------------------- mosaic

enum class Kept { red, green, blue, redGreen, none };

Pixel keep(Pixel source, Kept kept) {
  switch (kept) {
    case Kept::red: return Pixel{source.r, 0, 0, 0};
    case Kept::green: return Pixel{0, source.g, 0, 0};
    case Kept::blue: return Pixel{0, 0, source.b, 0};
    case Kept::redGreen: return Pixel{source.r, source.g, 0, 0};
    case Kept::none: break;
  }
  return kBlank;
}

// No channel of 255, so a written pixel never looks like the blank one.
std::unique_ptr<Image> mosaicSource(int32_t width, int32_t height) {
  auto image = Image::create(width, height);
  for (int32_t y = 0; y < height; ++y) {
    for (int32_t x = 0; x < width; ++x) {
      image->pixel(x, y) = Pixel{static_cast<uint8_t>(10 + x % 200), static_cast<uint8_t>(20 + y % 200),
                                 static_cast<uint8_t>(30 + (x + y) % 200), 99};
    }
  }
  return image;
}

TEST(Mosaic, CellsAndChannelsOfTheFourByFourCase) {
  auto source = mosaicSource(4, 4);
  auto out = source->mosaic(1);
  ASSERT_TRUE(out);
  struct Case {
    int32_t x, y;
    Kept kept;
  };
  const Case cases[] = {
      {0, 0, Kept::blue},      // cell (0, 0)
      {1, 0, Kept::redGreen},  // cell (0, 1)
      {0, 1, Kept::redGreen},  // cell (2, 1)
      {1, 1, Kept::red},       // cell (2, 2)
      {3, 0, Kept::green},     // cell (0, 3)
      {0, 3, Kept::green},     // cell (6, 3): 6 < 8, written
      {2, 0, Kept::red},       // cell (0, 2)
      {3, 3, Kept::red},       // cell (6, 6)
      {0, 2, Kept::red},       // cell (4, 2)
  };
  for (const Case& c : cases) {
    EXPECT_EQ(out->pixel(c.x, c.y), keep(source->pixel(c.x, c.y), c.kept))
        << "pixel (" << c.x << ", " << c.y << ")";
  }
  for (const Pixel& p : out->pixels()) {
    EXPECT_NE(p, kBlank);
    EXPECT_EQ(p.a, 0);
  }
}

int countBlank(const Image& image) {
  int n = 0;
  for (const Pixel& p : image.pixels()) n += p == kBlank ? 1 : 0;
  return n;
}

TEST(Mosaic, UnvisitedCellsKeepTheBlankPixels) {
  auto narrow = mosaicSource(2, 10)->mosaic(1);
  ASSERT_TRUE(narrow);
  for (int32_t y = 0; y < 10; ++y) {
    for (int32_t x = 0; x < 2; ++x) {
      EXPECT_EQ(narrow->pixel(x, y) == kBlank, y >= 2) << "pixel (" << x << ", " << y << ")";
    }
  }
  auto square = mosaicSource(10, 10)->mosaic(3);
  ASSERT_TRUE(square);
  EXPECT_EQ(countBlank(*square), 13);
  // Band widths of 0 or less and those past 2w visit no cell.
  for (int32_t a : {0, -1, -7, 21, std::numeric_limits<int32_t>::min()}) {
    Status status{.cause = Cause::badSize};
    auto out = mosaicSource(10, 10)->mosaic(a, &status);
    ASSERT_TRUE(out);
    EXPECT_EQ(status, Cause::ok);
    EXPECT_EQ(countBlank(*out), 100) << "band width " << a;
  }
}

// The cell walk of the reference (support/reference_ops.hpp) on many sizes.
TEST(Mosaic, MatchesTheCellWalkOnManySizes) {
  const int32_t sizes[] = {1, 2, 3, 5, 8, 13, 17};
  for (int32_t w : sizes) {
    for (int32_t h : sizes) {
      auto source = mosaicSource(w, h);
      for (int32_t a : {-3, -1, 0, 1, 2, 3, 4, 5, 7, 16, 2 * w - 1, 2 * w, 2 * w + 1}) {
        SCOPED_TRACE(std::to_string(w) + " x " + std::to_string(h) + ", band width " +
                     std::to_string(a));
        std::vector<int> writes;
        const reference::Grid expected = reference::mosaic(*source, a, &writes);
        for (int n : writes) ASSERT_LE(n, 1);  // the cells are disjoint
        auto out = source->mosaic(a);
        ASSERT_TRUE(out);
        ASSERT_EQ(pixelsOf(*out), expected.pixels);
      }
    }
  }
}

}  // namespace
}  // namespace bmpfun::test
