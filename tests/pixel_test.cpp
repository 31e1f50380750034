// Pixel arithmetic: rounding, clamping, evaluation order and draw order.
#include <bmpfun/pixel.hpp>

#include "image/c_random.hpp"
#include "support/test_support.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <limits>
#include <vector>

namespace bmpfun {
namespace {

using test::samePixel;

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

TEST(Pixel, DefaultIsOpaqueBlack) {
  EXPECT_TRUE(samePixel(Pixel{}, Pixel{0, 0, 0, 255}));
}

struct BinaryCase {
  Pixel p, q, want;
};

TEST(Pixel, AddSaturatesPerChannel) {
  const BinaryCase cases[] = {
      {{200, 100, 0, 255}, {100, 100, 0, 1}, {255, 200, 0, 255}},
      {{0, 0, 0, 0}, {0, 0, 0, 0}, {0, 0, 0, 0}},
      {{128, 127, 1, 254}, {127, 128, 254, 1}, {255, 255, 255, 255}},
      {{128, 10, 20, 30}, {128, 1, 2, 3}, {255, 11, 22, 33}},
  };
  for (const auto& c : cases) EXPECT_TRUE(samePixel(c.p.add(c.q), c.want));
}

TEST(Pixel, SubtractStopsAtZero) {
  const BinaryCase cases[] = {
      {{10, 20, 30, 40}, {20, 10, 30, 50}, {0, 10, 0, 0}},
      {{255, 255, 255, 255}, {0, 1, 254, 255}, {255, 254, 1, 0}},
      {{0, 0, 0, 0}, {255, 255, 255, 255}, {0, 0, 0, 0}},
  };
  for (const auto& c : cases) EXPECT_TRUE(samePixel(c.p.subtract(c.q), c.want));
}

TEST(Pixel, ProductOnRawBytes) {
  const BinaryCase cases[] = {
      {{16, 2, 0, 255}, {16, 100, 5, 1}, {255, 200, 0, 255}},
      {{15, 17, 3, 1}, {17, 15, 85, 1}, {255, 255, 255, 1}},
      {{255, 255, 1, 2}, {255, 0, 1, 2}, {255, 0, 1, 4}},
  };
  for (const auto& c : cases) EXPECT_TRUE(samePixel(c.p.product(c.q), c.want));
}

TEST(Pixel, ScaleByRoundsHalfUpAndClamps) {
  struct Case {
    uint8_t c;
    double f;
    uint8_t want;
  };
  const Case cases[] = {
      {1, 0.5, 1},      {2, 0.5, 1},     {3, 0.5, 2},       {254, 0.5, 127},
      {255, 0.5, 128},  {200, 2.0, 255}, {200, -1.0, 0},    {255, -1.0, 0},
      {77, 1.0, 77},    {0, 1.0, 0},     {100, 0.994, 99},  {100, 0.995, 100},
      {1, 1e300, 255},  {0, 1e300, 0},   {1, -1e300, 0},    {1, kInf, 255},
      {0, kInf, 0},     {1, kNaN, 0},    {10, 25.55, 255},  {10, 25.45, 255},
      {10, 25.44, 254}, {3, 0.1666, 0},  {3, 0.1667, 1},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(scaleChannel(c.c, c.f), c.want) << int{c.c} << " x " << c.f;
    // scaleBy applies the same rule to all four channels, alpha included.
    const Pixel p{c.c, c.c, c.c, c.c};
    EXPECT_TRUE(samePixel(p.scaleBy(c.f), Pixel{c.want, c.want, c.want, c.want}));
  }
  const Pixel mixed{1, 2, 3, 254};
  EXPECT_TRUE(samePixel(mixed.scaleBy(0.5), Pixel{1, 1, 2, 127}));
  EXPECT_TRUE(samePixel(mixed.scaleBy(1.0), mixed));
}

TEST(Pixel, LerpEvaluatesInTheFixedOrder) {
  struct Case {
    uint8_t x, y;
    double t;
    uint8_t want;
  };
  const Case cases[] = {
      {0, 1, 0.5, 1},     {123, 200, 0.5, 162}, {100, 200, 1.5, 250},
      {123, 10, 2.0, 0},  {123, 200, -1.0, 46}, {77, 200, 0.0, 77},
      {77, 200, 1.0, 200},
      // (1 - t) * x + y * t in that order: 0.7 + 10.799999999999999 stays below 11.5,
      // while x + (y - x) * t would reach it and round to 12.
      {1, 36, 0.3, 11},   {6, 1, 0.3, 4},
      {0, 255, 1e300, 255}, {255, 0, 1e300, 0}, {10, 10, kNaN, 0},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(lerpChannel(c.x, c.y, c.t), c.want)
        << int{c.x} << " -> " << int{c.y} << " at " << c.t;
    const Pixel p{c.x, c.x, c.x, c.x};
    const Pixel q{c.y, c.y, c.y, c.y};
    EXPECT_TRUE(samePixel(p.lerp(q, c.t), Pixel{c.want, c.want, c.want, c.want}));
  }
}

TEST(Pixel, LuminanceWeightsSumTo255) {
  struct Case {
    Pixel p;
    uint8_t want;
  };
  const Case cases[] = {
      {{255, 255, 255, 0}, 254}, {{255, 0, 0, 0}, 75},   {{0, 255, 0, 0}, 149},
      {{0, 0, 255, 0}, 28},      {{128, 128, 128, 0}, 127}, {{1, 1, 1, 0}, 0},
      {{200, 100, 0, 77}, 117},  {{0, 0, 0, 255}, 0},   {{4, 0, 0, 255}, 1},
  };
  for (const auto& c : cases) EXPECT_EQ(c.p.luminance(), c.want);
}

TEST(Pixel, EqualsComparesAllFourChannels) {
  const Pixel p{255, 255, 255, 0};
  EXPECT_FALSE(p.equals(Pixel{255, 255, 255, 255}));
  EXPECT_FALSE(p.equals(Pixel{254, 255, 255, 0}));
  EXPECT_FALSE(p.equals(Pixel{255, 254, 255, 0}));
  EXPECT_FALSE(p.equals(Pixel{255, 255, 254, 0}));
  EXPECT_TRUE(p.equals(Pixel{255, 255, 255, 0}));
}

// Expected quantised value of every level, from single-precision step and product.
struct QuantizeTable {
  int32_t n;
  std::vector<uint8_t> levels;
};

std::vector<uint8_t> sevenBitLevels() {
  std::vector<uint8_t> v;
  for (int i = 0; i < 127; ++i) v.push_back(static_cast<uint8_t>(2 * i));
  v.push_back(255);
  return v;
}

TEST(Pixel, QuantizeLevelsForEveryBitCount) {
  const QuantizeTable tables[] = {
      {1, {0, 255}},
      {2, {0, 85, 170, 255}},
      {3, {0, 36, 72, 109, 145, 182, 218, 254}},
      {4, {0, 17, 34, 51, 68, 85, 102, 119, 136, 153, 170, 187, 204, 221, 238, 255}},
      {5, {0,   8,   16,  24,  32,  41,  49,  57,  65,  74,  82,  90,  98,  106, 115, 123,
           131, 139, 148, 156, 164, 172, 180, 189, 197, 205, 213, 222, 230, 238, 246, 255}},
      {6, {0,   4,   8,   12,  16,  20,  24,  28,  32,  36,  40,  44,  48,  52,  56,  60,
           64,  68,  72,  76,  80,  85,  89,  93,  97,  101, 105, 109, 113, 117, 121, 125,
           129, 133, 137, 141, 145, 149, 153, 157, 161, 165, 170, 174, 178, 182, 186, 190,
           194, 198, 202, 206, 210, 214, 218, 222, 226, 230, 234, 238, 242, 246, 250, 254}},
      {7, sevenBitLevels()},
  };
  for (const auto& t : tables) {
    const int shift = 8 - t.n;
    ASSERT_EQ(t.levels.size(), size_t{1} << t.n);
    for (int c = 0; c < 256; ++c) {
      const uint8_t v = static_cast<uint8_t>(c);
      const uint8_t want = t.levels[static_cast<size_t>(c >> shift)];
      const Pixel got = Pixel{v, v, v, 0}.quantize(t.n);
      ASSERT_TRUE(samePixel(got, Pixel{want, want, want, 255})) << "n " << t.n << " c " << c;
    }
  }
  for (int c = 0; c < 256; ++c) {
    const uint8_t v = static_cast<uint8_t>(c);
    EXPECT_TRUE(samePixel(Pixel{v, 0, 255, 17}.quantize(8), Pixel{v, 0, 255, 255}));
  }
}

TEST(Pixel, QuantizeSpotValuesAndClampedBitCount) {
  EXPECT_TRUE(samePixel(Pixel{127, 128, 255, 0}.quantize(1), Pixel{0, 255, 255, 255}));
  EXPECT_TRUE(samePixel(Pixel{255, 224, 223, 9}.quantize(3), Pixel{254, 254, 218, 255}));
  // Bit counts outside 1..8 behave as the nearest valid count.
  const Pixel p{127, 128, 200, 3};
  for (int32_t n : {0, -1, -100, std::numeric_limits<int32_t>::min()}) {
    EXPECT_TRUE(samePixel(p.quantize(n), p.quantize(1))) << n;
  }
  for (int32_t n : {9, 31, 32, std::numeric_limits<int32_t>::max()}) {
    EXPECT_TRUE(samePixel(p.quantize(n), Pixel{127, 128, 200, 255})) << n;
  }
}

TEST(Pixel, SetKeepsLowByteAndAlpha) {
  Pixel p{1, 2, 3, 99};
  p.set(300, -1, 255);
  EXPECT_TRUE(samePixel(p, Pixel{44, 255, 255, 99}));
  p.set(256, 0, -256);
  EXPECT_TRUE(samePixel(p, Pixel{0, 0, 0, 99}));
}

TEST(Pixel, RealToChannelTruncatesThenSaturates) {
  struct Case {
    double v;
    uint8_t want;
  };
  const Case cases[] = {
      {255.9, 255},  {-0.7, 0},       {300.0, 255},   {254.99, 254},     {0.99, 0},
      {-0.0, 0},     {-1.0, 0},       {127.5, 127},   {2147483647.0, 255},
      {2147483648.0, 255}, {-2147483649.0, 0}, {1e300, 255}, {-1e300, 0},
      {kInf, 255},   {-kInf, 0},      {kNaN, 0},      {-kNaN, 0},
  };
  for (const auto& c : cases) EXPECT_EQ(realToChannel(c.v), c.want) << c.v;
}

TEST(Pixel, SetClampedThreeAndFourChannels) {
  Pixel p{9, 9, 9, 42};
  p.setClamped(255.9, -0.7, 300.0);
  EXPECT_TRUE(samePixel(p, Pixel{255, 0, 255, 42}));
  p.setClamped(kNaN, kInf, -kInf);
  EXPECT_TRUE(samePixel(p, Pixel{0, 255, 0, 42}));
  p.setClamped(12.9, 1e12, -1e12, 77.7);
  EXPECT_TRUE(samePixel(p, Pixel{12, 255, 0, 77}));
  p.setClamped(0, 0, 0, kNaN);
  EXPECT_TRUE(samePixel(p, Pixel{0, 0, 0, 0}));
}

TEST(Pixel, RandomChannelIsRandModulo256) {
  bmpfun::detail::seedRuntimeRand(3);
  std::vector<int> draws;
  for (int i = 0; i < 64; ++i) draws.push_back(bmpfun::detail::runtimeRand() % 256);
  bmpfun::detail::seedRuntimeRand(3);
  for (int d : draws) EXPECT_EQ(int{randomChannel()}, d);
}

TEST(Pixel, RandomDrawsAlphaBlueGreenRed) {
  for (unsigned seed : {1u, 7u, 12345u}) {
    bmpfun::detail::seedRuntimeRand(seed);
    int draws[8];
    for (int& d : draws) d = bmpfun::detail::runtimeRand() % 256;
    bmpfun::detail::seedRuntimeRand(seed);
    const Pixel first = Pixel::random();
    const Pixel second = Pixel::random();
    EXPECT_TRUE(samePixel(first, Pixel{static_cast<uint8_t>(draws[3]), static_cast<uint8_t>(draws[2]),
                                       static_cast<uint8_t>(draws[1]), static_cast<uint8_t>(draws[0])}));
    EXPECT_TRUE(samePixel(second, Pixel{static_cast<uint8_t>(draws[7]), static_cast<uint8_t>(draws[6]),
                                        static_cast<uint8_t>(draws[5]), static_cast<uint8_t>(draws[4])}));
  }
}

}  // namespace
}  // namespace bmpfun
