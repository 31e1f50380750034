// Crop, scale, rotate and autoCrop: which source pixel lands where (down to the last-bit
// cases of scale and the truncated pi of rotate), the trimming edges, and every refusal.
#include "support/reference_ops.hpp"
#include "support/test_support.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

namespace bmpfun::test {
namespace {

constexpr Pixel kWhite{255, 255, 255, 255};
constexpr Pixel kBlack{0, 0, 0, 255};

// An image of pure white (alpha 255 too) with the given pixels set to content.
std::unique_ptr<Image> whiteWith(int32_t width, int32_t height,
                                 const std::vector<std::pair<int32_t, int32_t>>& content) {
  auto image = Image::create(width, height);
  for (Pixel& p : image->pixels()) p = kWhite;
  for (const auto& [x, y] : content) {
    image->pixel(x, y) = Pixel{static_cast<uint8_t>(x), static_cast<uint8_t>(y), 9, 255};
  }
  return image;
}

// ---------------------------------------------------------------- crop

TEST(Crop, CopiesTheRectangle) {
  struct Case {
    int32_t x, y, width, height;
  };
  const Case cases[] = {{0, 0, 7, 5}, {1, 1, 1, 1}, {2, 1, 3, 2}, {6, 4, 1, 1}, {0, 4, 7, 1}, {6, 0, 1, 5}};
  auto source = coded(7, 5);
  source->sampling(3);  // crop copies, it never samples
  for (const Case& c : cases) {
    SCOPED_TRACE("crop(" + std::to_string(c.x) + ", " + std::to_string(c.y) + ", " +
                 std::to_string(c.width) + ", " + std::to_string(c.height) + ")");
    Status status{.cause = Cause::badSize};
    auto out = source->crop(c.x, c.y, c.width, c.height, &status);
    ASSERT_TRUE(out);
    EXPECT_EQ(status, Cause::ok);
    ASSERT_EQ(out->width(), c.width);
    ASSERT_EQ(out->height(), c.height);
    EXPECT_EQ(out->samplingMethod(), kPoint);
    for (int32_t j = 0; j < c.height; ++j) {
      for (int32_t i = 0; i < c.width; ++i) {
        EXPECT_EQ(out->pixel(i, j), source->pixel(c.x + i, c.y + j));
      }
    }
  }
}

TEST(Crop, RefusesRectanglesItCannotTakeWhole) {
  constexpr int32_t kMax = std::numeric_limits<int32_t>::max();
  constexpr int32_t kMin = std::numeric_limits<int32_t>::min();
  struct Case {
    int32_t x, y, width, height;
    Cause status;
  };
  const Case cases[] = {
      {0, 0, 0, 1, Cause::badSize},        {0, 0, 1, 0, Cause::badSize},
      {0, 0, -3, 2, Cause::badSize},       {9, 9, 0, 0, Cause::badSize},
      {-1, 0, 1, 1, Cause::outsideSource}, {0, -1, 1, 1, Cause::outsideSource},
      {1, 0, 7, 1, Cause::outsideSource},  {0, 1, 1, 5, Cause::outsideSource},
      {7, 0, 1, 1, Cause::outsideSource},  {0, 5, 1, 1, Cause::outsideSource},
      {kMax, 0, 1, 1, Cause::outsideSource}, {1, 1, kMax, 1, Cause::outsideSource},
      {kMin, 0, kMax, 1, Cause::outsideSource},
  };
  auto source = coded(7, 5);
  for (const Case& c : cases) {
    Status status{.cause = Cause::ok};
    EXPECT_FALSE(source->crop(c.x, c.y, c.width, c.height, &status));
    EXPECT_EQ(status, c.status) << "crop(" << c.x << ", " << c.y << ", " << c.width << ", "
                                << c.height << ")";
  }
}

// ---------------------------------------------------------------- scale

TEST(Scale, SamplesDivideByXAndMultiplyByTheReciprocalOfY) {
  auto source = coded(2, 2);
  auto out = source->scale(49.0, 49.0);
  ASSERT_TRUE(out);
  ASSERT_EQ(out->width(), 98);
  ASSERT_EQ(out->height(), 98);
  // Column 49: x = 49 / 49 = 1.0. Row 49: y = 49 * (1 / 49) = 0.9999999999999999.
  EXPECT_EQ(out->pixel(49, 0), source->pixel(1, 0));
  EXPECT_EQ(out->pixel(0, 49), source->pixel(0, 0));
  EXPECT_EQ(out->pixel(49, 49), source->pixel(1, 0));
  EXPECT_EQ(out->pixel(48, 50), source->pixel(0, 1));
  EXPECT_EQ(out->pixel(97, 97), source->pixel(1, 1));
}

TEST(Scale, OutputSizeIsTruncatedAndHalvingPicksEvenPixels) {
  struct Case {
    int32_t width, height;
    double sx, sy;
    int32_t outWidth, outHeight;
  };
  const Case cases[] = {{4, 3, 2.5, 1.0, 10, 3}, {9, 4, 0.34, 3.0, 3, 12}, {3, 7, 1.0, 0.15, 3, 1}};
  for (const Case& c : cases) {
    auto out = coded(c.width, c.height)->scale(c.sx, c.sy);
    ASSERT_TRUE(out);
    EXPECT_EQ(out->width(), c.outWidth);
    EXPECT_EQ(out->height(), c.outHeight);
  }
  auto source = coded(5, 5);
  auto same = source->scale(1.0, 1.0);
  ASSERT_TRUE(same);
  EXPECT_EQ(pixelsOf(*same), pixelsOf(*source));
  auto half = source->scale(0.5, 0.5);
  ASSERT_TRUE(half);
  EXPECT_EQ(pixelsOf(*half), (std::vector<Pixel>{source->pixel(0, 0), source->pixel(2, 0),
                                                source->pixel(0, 2), source->pixel(2, 2)}));
}

TEST(Scale, RefusesSizesThatCannotBeMade) {
  const double inf = std::numeric_limits<double>::infinity();
  const double nan = std::numeric_limits<double>::quiet_NaN();
  struct Case {
    double sx, sy;
    Cause status;
  };
  // The source is 9 x 5 with a limit of 1000 pixels.
  const Case cases[] = {
      {0.1, 1.0, Cause::badSize},  // (int) 0.9 = 0
      {1.0, 0.19, Cause::badSize}, {0.0, 1.0, Cause::badSize},
      {-2.0, 1.0, Cause::badSize}, {1.0, -0.5, Cause::badSize},
      {2.0, 1e-300, Cause::badSize}, {nan, 1.0, Cause::badSize},
      {1.0, nan, Cause::badSize},  {inf, 1.0, Cause::badSize},
      {1.0, -inf, Cause::badSize}, {1e10, 1.0, Cause::tooLarge},
      {1.0, 1e300, Cause::tooLarge},
      {1.0, 429496729.6, Cause::tooLarge},  // 5 x 429496729.6 = 2^31: past int32
      {10.0, 10.0, Cause::tooLarge},  // 90 x 50 passes the limit
  };
  auto source = Image::create(9, 5, Limits{1000});
  for (const Case& c : cases) {
    Status status{.cause = Cause::ok};
    EXPECT_FALSE(source->scale(c.sx, c.sy, &status));
    EXPECT_EQ(status, c.status) << "scale(" << c.sx << ", " << c.sy << ")";
  }
  Status status{.cause = Cause::badSize};
  auto fits = source->scale(4.0, 5.0, &status);  // 36 x 25 = 900
  ASSERT_TRUE(fits);
  EXPECT_EQ(status, Cause::ok);
  EXPECT_EQ(fits->limits().maxPixels, 1000);
}

// ---------------------------------------------------------------- rotate

// With no working sampler every sample is black, so nothing is trimmed and the whole
// (2d + 1)^2 square comes back; d is the truncated diagonal.
TEST(Rotate, SquareSideComesFromTheDiagonal) {
  struct Case {
    int32_t width, height;
    double degrees;
    int32_t side;
  };
  const Case cases[] = {{3, 4, 30.0, 11}, {1, 1, 0.0, 3}, {2, 3, 90.0, 7},
                        {100, 100, -12.5, 283}, {1, 8, 1e-9, 17}};
  for (const Case& c : cases) {
    auto source = coded(c.width, c.height);
    source->sampling(3);
    Status status{.cause = Cause::badSize};
    auto out = source->rotate(c.degrees, &status);
    ASSERT_TRUE(out);
    EXPECT_EQ(status, Cause::ok);
    EXPECT_EQ(out->width(), c.side);
    EXPECT_EQ(out->height(), c.side);
    for (const Pixel& p : out->pixels()) ASSERT_EQ(p, kBlack);
  }
}

TEST(Rotate, ZeroDegreesGivesTheSourceBack) {
  auto source = makeTestImage(9, 6, 3);  // blue is never 255: every pixel is content
  auto out = source->rotate(0.0);
  ASSERT_TRUE(out);
  ASSERT_EQ(out->width(), 9);
  ASSERT_EQ(out->height(), 6);
  EXPECT_EQ(pixelsOf(*out), pixelsOf(*source));

  // Border rows and columns of pure white are trimmed away.
  auto framed = whiteWith(6, 5, {{1, 1}, {3, 2}, {2, 3}});
  auto trimmed = framed->rotate(0.0);
  ASSERT_TRUE(trimmed);
  ASSERT_EQ(trimmed->width(), 3);
  ASSERT_EQ(trimmed->height(), 3);
  EXPECT_EQ(trimmed->pixel(0, 0), framed->pixel(1, 1));
  EXPECT_EQ(trimmed->pixel(2, 1), framed->pixel(3, 2));
  EXPECT_EQ(trimmed->pixel(1, 2), framed->pixel(2, 3));
  EXPECT_EQ(trimmed->pixel(1, 1), kWhite);
}

// rad = 1.570796: cos is about 3.27e-7 and sin falls short of 1 by about 5.3e-14. Offset
// (i, 0) samples (i * 3.27e-7, i * 0.99999999999995): row i - 1 for i >= 1, so offsets 0
// and 1 both show row 0; offset (0, -1) samples y = -3.27e-7, outside.
TEST(Rotate, NinetyDegreesIsAHairShortOfAQuarterTurn) {
  auto source = coded(1, 4);
  auto out = source->rotate(90.0);
  ASSERT_TRUE(out);
  ASSERT_EQ(out->width(), 5);
  ASSERT_EQ(out->height(), 1);
  EXPECT_EQ(pixelsOf(*out), (std::vector<Pixel>{source->pixel(0, 0), source->pixel(0, 0),
                                               source->pixel(0, 1), source->pixel(0, 2),
                                               source->pixel(0, 3)}));
  // A positive angle turns counter-clockwise: the row to the right of the pivot goes up.
  // Offset (1, c) samples x = 3.27e-7 - c * sin, y = sin + c * 3.27e-7: row 0 of column -c
  // for c = 0 ... -3, while offset (0, 0) is the pivot itself.
  auto row = coded(4, 1);
  auto up = row->rotate(90.0);
  ASSERT_TRUE(up);
  ASSERT_EQ(up->width(), 2);
  ASSERT_EQ(up->height(), 4);
  EXPECT_EQ(pixelsOf(*up), (std::vector<Pixel>{kWhite, row->pixel(3, 0),  //
                                              kWhite, row->pixel(2, 0),  //
                                              kWhite, row->pixel(1, 0),  //
                                              row->pixel(0, 0), row->pixel(0, 0)}));
}

TEST(Rotate, RefusesResultsPastTheLimitAndImagesWithoutContent) {
  // Only the trimmed result counts against the limit, not the (2d + 1)^2 square it is cut
  // from (283^2 = 80089 pixels here).
  auto sized = coded(100, 100);
  const auto fitted = sized->rotate(10.0);
  ASSERT_TRUE(fitted);
  const int64_t area = int64_t{fitted->width()} * fitted->height();
  ASSERT_LT(area, 283 * 283);
  for (const int64_t limit : {area, area - 1}) {
    auto big = coded(100, 100);
    auto limited = Image::create(100, 100, Limits{limit});
    std::copy(big->pixels().begin(), big->pixels().end(), limited->pixels().begin());
    Status status{.cause = Cause::ok};
    auto out = limited->rotate(10.0, &status);
    EXPECT_EQ(out != nullptr, limit == area) << "limit " << limit;
    EXPECT_EQ(status, limit == area ? Cause::ok : Cause::tooLarge);
  }

  Status status{.cause = Cause::ok};
  EXPECT_FALSE(whiteWith(4, 3, {})->rotate(45.0, &status));
  EXPECT_EQ(status, Cause::noContent);

  // An infinite angle samples NaN positions: all white, nothing left.
  for (int32_t method : {0, 1, 2}) {
    auto source = coded(5, 3);
    source->sampling(method);
    status = Status{};
    EXPECT_FALSE(source->rotate(std::numeric_limits<double>::infinity(), &status));
    EXPECT_EQ(status, Cause::noContent) << "method " << method;
  }
}

// rotate finds the box before it fills anything; the reference samples the whole square and
// trims it. Sources with white (alpha 255) margins, holes and lone dots make the box depend
// on the colours, not only on where the source lands.
TEST(Rotate, EqualsTheWholeSquareTrimmed) {
  std::vector<std::pair<std::string, std::unique_ptr<Image>>> sources;
  for (const auto& [w, h] : std::vector<std::pair<int32_t, int32_t>>{
           {1, 1}, {1, 7}, {7, 1}, {2, 3}, {5, 5}, {13, 8}, {31, 17}}) {
    sources.emplace_back("coded " + std::to_string(w) + "x" + std::to_string(h), coded(w, h));
  }
  sources.emplace_back("test image 23x19", makeTestImage(23, 19, 5));
  sources.emplace_back("dots", whiteWith(17, 11, {{3, 2}, {16, 0}, {0, 10}}));
  sources.emplace_back("one dot", whiteWith(9, 14, {{4, 13}}));
  auto framed = makeTestImage(19, 15, 8);
  for (int32_t y = 0; y < 15; ++y) {
    for (int32_t x = 0; x < 19; ++x) {
      if (x < 3 || y < 2 || x > 15 || (x > 7 && x < 11 && y > 5)) framed->pixel(x, y) = kWhite;
    }
  }
  sources.emplace_back("white frame and hole", std::move(framed));
  sources.emplace_back("all white", whiteWith(6, 4, {}));

  const double angles[] = {0.0, 1e-9, -1e-9, 7.5, 30.0, 45.0, 89.99, 90.0, 135.0, 180.0,
                           -30.0, 270.0, 359.999, 1000.3, -725.0,
                           std::numeric_limits<double>::quiet_NaN(),
                           std::numeric_limits<double>::infinity()};
  for (const auto& [name, source] : sources) {
    for (int32_t method : {0, 1, 2, 3}) {
      source->sampling(method);
      for (const double degrees : angles) {
        SCOPED_TRACE(name + ", method " + std::to_string(method) + ", " +
                     std::to_string(degrees) + " degrees");
        const reference::Grid want = reference::rotate(*source, degrees);
        Status status{.cause = Cause::ok};
        const auto got = source->rotate(degrees, &status);
        ASSERT_EQ(reference::difference(got ? reference::gridOf(*got) : reference::Grid{}, want), "");
        if (!got) EXPECT_EQ(status, Cause::noContent);
      }
    }
  }
}

// Larger pictures at angles where the rounding of the positions decides edge pixels.
TEST(Rotate, EqualsTheWholeSquareTrimmedOnLargerPictures) {
  auto source = makeTestImage(120, 71, 2);
  for (int32_t method : {0, 1, 2}) {
    source->sampling(method);
    for (const double degrees : {0.5, 33.3, 60.0, 90.0, 123.4, 200.0, 300.1}) {
      SCOPED_TRACE("method " + std::to_string(method) + ", " + std::to_string(degrees));
      const auto got = source->rotate(degrees);
      ASSERT_TRUE(got);
      ASSERT_EQ(reference::difference(reference::gridOf(*got), reference::rotate(*source, degrees)), "");
    }
  }
}

// ---------------------------------------------------------------- autoCrop

TEST(AutoCrop, KeepsTheBoxOfTheNonWhitePixels) {
  struct Case {
    int32_t width, height;
    std::vector<std::pair<int32_t, int32_t>> content;
    int32_t left, top, boxWidth, boxHeight;
  };
  const Case cases[] = {
      {6, 5, {{3, 2}}, 3, 2, 1, 1},
      {1, 5, {{0, 4}}, 0, 4, 1, 1},          // one wide: the last row is kept
      {1, 5, {{0, 1}, {0, 4}}, 0, 1, 1, 4},
      {5, 1, {{4, 0}}, 4, 0, 1, 1},          // one high: the last column is kept
      {5, 1, {{0, 0}, {4, 0}}, 0, 0, 5, 1},
      {6, 5, {{5, 0}, {0, 4}}, 0, 0, 6, 5},  // opposite corners
      {6, 5, {{4, 1}, {1, 3}}, 1, 1, 4, 3},  // edges from different pixels
      {1, 1, {{0, 0}}, 0, 0, 1, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.width) + " x " + std::to_string(c.height) + " box at (" +
                 std::to_string(c.left) + ", " + std::to_string(c.top) + ")");
    auto source = whiteWith(c.width, c.height, c.content);
    Status status{.cause = Cause::badSize};
    auto out = source->autoCrop(&status);
    ASSERT_TRUE(out);
    EXPECT_EQ(status, Cause::ok);
    ASSERT_EQ(out->width(), c.boxWidth);
    ASSERT_EQ(out->height(), c.boxHeight);
    for (int32_t j = 0; j < c.boxHeight; ++j) {
      for (int32_t i = 0; i < c.boxWidth; ++i) {
        EXPECT_EQ(out->pixel(i, j), source->pixel(c.left + i, c.top + j));
      }
    }
  }
}

TEST(AutoCrop, WhiteMeansAllFourChannels) {
  // A blank image is white with alpha 0: all of it is content.
  auto blank = Image::create(4, 3);
  auto same = blank->autoCrop();
  ASSERT_TRUE(same);
  EXPECT_EQ(same->width(), 4);
  EXPECT_EQ(same->height(), 3);

  // One channel short of 255 is enough.
  for (Pixel almost : {Pixel{254, 255, 255, 255}, Pixel{255, 254, 255, 255},
                       Pixel{255, 255, 254, 255}, Pixel{255, 255, 255, 254}}) {
    auto image = whiteWith(5, 4, {});
    image->pixel(2, 3) = almost;
    auto out = image->autoCrop();
    ASSERT_TRUE(out);
    EXPECT_EQ(pixelsOf(*out), std::vector<Pixel>{almost});
  }

  Status status{.cause = Cause::ok};
  EXPECT_FALSE(whiteWith(5, 4, {})->autoCrop(&status));
  EXPECT_EQ(status, Cause::noContent);
}

}  // namespace
}  // namespace bmpfun::test
