// Per-pixel adjustments: exact outputs and noise's draw order.
#include <bmpfun/image.hpp>

#include "image/c_random.hpp"
#include "support/test_support.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <vector>

namespace bmpfun {
namespace {

using test::pixelsOf;
using test::samePixel;

struct Case {
  const char* name;
  std::function<void(Image&)> apply;
  Pixel in, want;
};

TEST(Adjustments, ExactOutputs) {
  const Case cases[] = {
      {"brightness 1", [](Image& i) { i.brightness(1.0); }, {200, 100, 0, 255}, {200, 100, 0, 255}},
      {"brightness .5", [](Image& i) { i.brightness(0.5); }, {200, 100, 0, 255}, {100, 50, 0, 128}},
      {"brightness .5 odd", [](Image& i) { i.brightness(0.5); }, {1, 3, 254, 0}, {1, 2, 127, 0}},
      {"brightness 0", [](Image& i) { i.brightness(0.0); }, {200, 100, 7, 255}, {0, 0, 0, 0}},
      {"brightness 2", [](Image& i) { i.brightness(2.0); }, {200, 100, 7, 0}, {255, 200, 14, 0}},
      {"contrast 2", [](Image& i) { i.contrast(2.0); }, {200, 100, 0, 255}, {255, 77, 0, 255}},
      {"contrast .5", [](Image& i) { i.contrast(0.5); }, {200, 100, 0, 0}, {162, 112, 62, 128}},
      {"contrast 0", [](Image& i) { i.contrast(0.0); }, {200, 100, 0, 0}, {123, 123, 123, 255}},
      {"contrast 1", [](Image& i) { i.contrast(1.0); }, {200, 100, 0, 0}, {200, 100, 0, 0}},
      {"contrast -1", [](Image& i) { i.contrast(-1.0); }, {100, 0, 255, 255}, {146, 246, 0, 255}},
      {"saturation 0", [](Image& i) { i.saturation(0.0); }, {200, 100, 0, 77}, {117, 117, 117, 77}},
      {"saturation 2", [](Image& i) { i.saturation(2.0); }, {200, 100, 0, 77}, {255, 83, 0, 77}},
      {"saturation 1", [](Image& i) { i.saturation(1.0); }, {200, 100, 0, 77}, {200, 100, 0, 77}},
      {"saturation .5", [](Image& i) { i.saturation(0.5); }, {255, 255, 255, 9}, {255, 255, 255, 9}},
      {"saturation .5 red", [](Image& i) { i.saturation(0.5); }, {255, 0, 0, 9}, {165, 38, 38, 9}},
      {"extract 0", [](Image& i) { i.extractChannel(0); }, {10, 20, 30, 40}, {10, 0, 0, 0}},
      {"extract 1", [](Image& i) { i.extractChannel(1); }, {10, 20, 30, 40}, {0, 20, 0, 0}},
      {"extract 2", [](Image& i) { i.extractChannel(2); }, {10, 20, 30, 40}, {0, 0, 30, 0}},
      {"extract 3", [](Image& i) { i.extractChannel(3); }, {10, 20, 30, 40}, {0, 0, 0, 40}},
      {"extract 4", [](Image& i) { i.extractChannel(4); }, {10, 20, 30, 40}, {10, 20, 30, 40}},
      {"extract -1", [](Image& i) { i.extractChannel(-1); }, {10, 20, 30, 40}, {10, 20, 30, 40}},
      {"quantize 1", [](Image& i) { i.quantize(1); }, {127, 128, 255, 0}, {0, 255, 255, 255}},
      {"quantize 3", [](Image& i) { i.quantize(3); }, {255, 31, 32, 0}, {254, 0, 36, 255}},
      {"quantize 0", [](Image& i) { i.quantize(0); }, {127, 128, 255, 0}, {0, 255, 255, 255}},
      {"quantize 8", [](Image& i) { i.quantize(8); }, {127, 128, 255, 0}, {127, 128, 255, 255}},
      {"quantize 99", [](Image& i) { i.quantize(99); }, {127, 128, 255, 0}, {127, 128, 255, 255}},
  };
  for (const auto& c : cases) {
    // Every pixel of a 3 x 2 image gets the same input, so a pixel skipped or done twice shows.
    auto image = Image::create(3, 2);
    ASSERT_TRUE(image);
    std::fill(image->pixels().begin(), image->pixels().end(), c.in);
    image->sampling(kGaussian);
    c.apply(*image);
    for (const Pixel& p : image->pixels()) EXPECT_TRUE(samePixel(p, c.want)) << c.name;
    EXPECT_EQ(image->samplingMethod(), kGaussian) << c.name;
    EXPECT_EQ(image->width(), 3);
    EXPECT_EQ(image->height(), 2);
  }
}

TEST(Adjustments, EachPixelFromItsOwnValue) {
  // A varied image: every output equals the pixel operation on that pixel's own input.
  auto image = test::makeTestImage(9, 7, 5);
  ASSERT_TRUE(image);
  const std::vector<Pixel> before = pixelsOf(*image);
  image->contrast(1.7);
  for (size_t i = 0; i < before.size(); ++i) {
    EXPECT_TRUE(samePixel(image->pixels()[i], Pixel{123, 123, 123, 255}.lerp(before[i], 1.7)));
  }
  image = test::makeTestImage(9, 7, 6);
  const std::vector<Pixel> base = pixelsOf(*image);
  image->saturation(-0.4);
  for (size_t i = 0; i < base.size(); ++i) {
    const uint8_t l = base[i].luminance();
    EXPECT_TRUE(samePixel(image->pixels()[i], Pixel{l, l, l, base[i].a}.lerp(base[i], -0.4)));
  }
}

// min(255, c + floor(v * 0.5 + 0.5)), worked out in integers: floor((v + 1) / 2).
uint8_t plusHalf(uint8_t c, int v) {
  return static_cast<uint8_t>(std::min(255, int{c} + (v + 1) / 2));
}

TEST(Adjustments, NoiseDrawsColumnByColumnInAlphaBlueGreenRedOrder) {
  const int32_t w = 3;
  const int32_t h = 2;
  auto image = Image::create(w, h);
  ASSERT_TRUE(image);
  for (int32_t y = 0; y < h; ++y)
    for (int32_t x = 0; x < w; ++x)
      image->pixel(x, y) = Pixel{static_cast<uint8_t>(40 * x), static_cast<uint8_t>(100 * y),
                                 static_cast<uint8_t>(200 + y), static_cast<uint8_t>(7 * x + y)};
  const std::vector<Pixel> before = pixelsOf(*image);

  bmpfun::detail::seedRuntimeRand(1);
  std::vector<int> draws(static_cast<size_t>(4 * w * h + 1));
  for (int& d : draws) d = bmpfun::detail::runtimeRand() % 256;
  bmpfun::detail::seedRuntimeRand(1);
  image->noise(0.5);
  // The generator moved on by exactly 4 x w x h.
  EXPECT_EQ(bmpfun::detail::runtimeRand() % 256, draws.back());

  // Visiting order (0,0), (0,1), (1,0), (1,1), (2,0), (2,1); each pixel takes four draws:
  // alpha, blue, green, red.
  size_t k = 0;
  for (int32_t x = 0; x < w; ++x) {
    for (int32_t y = 0; y < h; ++y, k += 4) {
      const Pixel& p = before[static_cast<size_t>(x + y * w)];
      const Pixel want{plusHalf(p.r, draws[k + 3]), plusHalf(p.g, draws[k + 2]),
                       plusHalf(p.b, draws[k + 1]), plusHalf(p.a, draws[k])};
      EXPECT_TRUE(samePixel(image->pixel(x, y), want)) << x << ", " << y;
    }
  }
}

TEST(Adjustments, NoiseFactorsThatChangeNothingStillDraw) {
  struct NoiseCase {
    double factor;
    Pixel fill;
  };
  const NoiseCase cases[] = {
      {0.0, {10, 20, 30, 40}},
      {-1.0, {10, 20, 30, 40}},  // scaled noise clamps to 0 before the add
      {1.0, {255, 255, 255, 255}},
      {1e300, {255, 255, 255, 255}},
  };
  for (const auto& c : cases) {
    auto image = Image::create(4, 5);
    ASSERT_TRUE(image);
    std::fill(image->pixels().begin(), image->pixels().end(), c.fill);
    bmpfun::detail::seedRuntimeRand(1);
    std::vector<int> draws(4 * 4 * 5 + 1);
    for (int& d : draws) d = bmpfun::detail::runtimeRand();
    bmpfun::detail::seedRuntimeRand(1);
    image->noise(c.factor);
    EXPECT_EQ(bmpfun::detail::runtimeRand(), draws.back()) << c.factor;
    for (const Pixel& p : image->pixels()) EXPECT_TRUE(samePixel(p, c.fill)) << c.factor;
  }
}

}  // namespace
}  // namespace bmpfun
