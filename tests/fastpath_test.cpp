// The fast paths against the plain ones. The references (support/reference_ops.hpp) are the
// operations written straight from their rules, one Pixel operation at a time, in the defined
// visiting order; the library's specialised loops must give the same pixels to the bit on
// random images of odd sizes, under every sampling method (and an unknown one).
#include "support/reference_ops.hpp"
#include "support/test_support.hpp"

#include "filters/channels.hpp"
#include "image/c_random.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <limits>
#include <random>
#include <string>
#include <utility>
#include <vector>

namespace bmpfun::test {
namespace {

// Random bytes, with 0 and 255 common enough to reach every clamp (the shared randomImage
// draws them uniformly).
std::unique_ptr<Image> extremesImage(int32_t width, int32_t height, uint32_t seed) {
  auto image = Image::create(width, height);
  std::mt19937 rng(seed);
  auto byte = [&rng]() -> uint8_t {
    const uint32_t pick = rng() % 8;
    return pick == 0 ? 0 : pick == 1 ? 255 : static_cast<uint8_t>(rng());
  };
  for (Pixel& p : image->pixels()) p = Pixel{byte(), byte(), byte(), byte()};
  return image;
}

// Sizes with odd and even sides, single rows and columns, and sources both narrower and
// wider than the disc of effects 1 and 2 (2h + 1).
const int32_t kSizes[][2] = {{1, 1}, {1, 7}, {9, 1}, {2, 2}, {3, 5}, {5, 4},  {7, 3},
                             {4, 9}, {13, 6}, {6, 13}, {25, 12}, {31, 15}, {3, 40}, {64, 17}};
const int32_t kMethods[] = {kPoint, kBilinear, kGaussian, 3, -1};

std::string where(const Image& image, int32_t extra) {
  return std::to_string(image.width()) + " x " + std::to_string(image.height()) + " method " +
         std::to_string(image.samplingMethod()) + " / " + std::to_string(extra);
}

// ---------------------------------------------------------------- sample and fun

TEST(FastPath, SampleEqualsTheReferenceAtRandomAndSpecialPositions) {
  constexpr double kInf = std::numeric_limits<double>::infinity();
  uint32_t seed = 1;
  for (const auto& size : kSizes) {
    auto image = extremesImage(size[0], size[1], seed++);
    const double w = size[0];
    const double h = size[1];
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> across(-3.0, w + 3.0), down(-3.0, h + 3.0);
    std::vector<std::pair<double, double>> positions = {
        {-0.0, 0.0}, {-0.001, 0.0}, {w - 1.0, h - 1.0}, {w - 0.001, h - 0.001}, {w, 0.0},
        {0.0, h},    {0.5, 0.5},    {w - 1.5, h - 1.5}, {std::nan(""), 1.0},  {1.0, kInf},
        {-kInf, 0.0}, {3e9, 1.0},   {1.0, -3e9},        {2.5, 2.5},           {w - 2.5, 1.5}};
    for (int n = 0; n < 400; ++n) positions.emplace_back(across(rng), down(rng));
    // Whole and half positions hit the weights 0, 1 and 0.5 and the border cases.
    for (double x = -1.0; x <= w + 1.0; x += 0.5) {
      for (double y = -1.0; y <= h + 1.0; y += 0.5) positions.emplace_back(x, y);
    }
    for (int32_t method : kMethods) {
      image->sampling(method);
      for (const auto& [x, y] : positions) {
        ASSERT_EQ(image->sample(x, y), reference::sample(*image, x, y))
            << where(*image, 0) << " at (" << x << ", " << y << ")";
      }
    }
  }
}

TEST(FastPath, FunEqualsTheReferenceForEveryEffectAndMethod) {
  uint32_t seed = 100;
  for (const auto& size : kSizes) {
    auto source = extremesImage(size[0], size[1], seed++);
    for (int32_t method : kMethods) {
      source->sampling(method);
      for (int32_t effect = 0; effect <= 2; ++effect) {
        auto out = source->fun(effect);
        ASSERT_TRUE(out);
        ASSERT_EQ(reference::difference(reference::gridOf(*out), reference::fun(*source, effect)), "")
            << where(*source, effect);
      }
    }
  }
}

TEST(FastPath, InlineRoundingEqualsScaleChannel) {
  std::mt19937 rng(7);
  std::uniform_real_distribution<double> any(-3.0, 3.0);
  std::vector<double> factors = {0.0, -0.0, 0.5, 1.0, 1.5, -1.0, 1.0 / 3.0, 0.4375, 0.0625,
                                 255.0, 1e300, -1e300, 1e-300,
                                 std::numeric_limits<double>::infinity(),
                                 -std::numeric_limits<double>::infinity(), std::nan("")};
  for (int k = 0; k < 500; ++k) factors.push_back(any(rng));
  // Factors that put c * f + 0.5 on or next to a whole number.
  for (int32_t c = 1; c < 256; c += 7) {
    for (double target : {0.5, 1.5, 127.5, 255.5, 256.5, -0.5}) {
      const double f = (target - 0.5) / c;
      factors.insert(factors.end(), {f, std::nextafter(f, 1e9), std::nextafter(f, -1e9)});
    }
  }
  for (double f : factors) {
    for (int32_t c = 0; c < 256; ++c) {
      const auto byte = static_cast<uint8_t>(c);
      ASSERT_EQ(channels::roundToChannel(c * f), scaleChannel(byte, f)) << c << " x " << f;
    }
  }
}

TEST(FastPath, ScaleAndRotateEqualTheReference) {
  const double factors[][2] = {{1.0, 1.0}, {0.5, 0.5}, {1.7, 1.3}, {0.31, 2.9}, {3.0, 0.77}};
  const double angles[] = {0.0, 30.0, 90.0, -45.0, 200.5};
  uint32_t seed = 300;
  for (const auto& size : kSizes) {
    auto source = extremesImage(size[0], size[1], seed++);
    for (int32_t method : kMethods) {
      source->sampling(method);
      for (const auto& f : factors) {
        auto out = source->scale(f[0], f[1]);
        ASSERT_EQ(reference::difference(out ? reference::gridOf(*out) : reference::Grid{},
                                        reference::scale(*source, f[0], f[1])), "")
            << where(*source, 0);
      }
      for (double degrees : angles) {
        auto out = source->rotate(degrees);
        ASSERT_EQ(reference::difference(out ? reference::gridOf(*out) : reference::Grid{},
                                        reference::rotate(*source, degrees)), "")
            << where(*source, 1);
      }
    }
  }
}

// Noise and the random dither draw from rand(), so both runs start from the same seed.
TEST(FastPath, InPlaceFiltersEqualTheReference) {
  constexpr double kInf = std::numeric_limits<double>::infinity();
  const struct {
    const char* name;
    std::vector<double> arguments;
  } filters[] = {
      {"noise", {0.0, 0.5, 1.0, -0.7, 2.5}},
      {"brightness", {0.0, 0.5, 1.2, -1.0, 300.0, kInf, std::nan("")}},
      {"contrast", {0.0, 0.5, 1.2, -1.0, 2.75, kInf, std::nan("")}},
      {"saturation", {0.0, 0.5, 1.5, -1.0, 3.3, kInf, -kInf, std::nan("")}},
      {"extractChannel", {-1, 0, 1, 2, 3, 4}},
      {"quantize", {-2, 1, 2, 3, 5, 7, 8, 9}},
      {"randomDither", {0, 1, 2, 4, 8, 12}},
      {"orderedDither", {0, 1, 2, 3, 4, 8, 12}},
      {"floydSteinberg", {0, 1, 2, 3, 6, 8, 12}},
  };
  uint32_t seed = 500;
  for (const auto& size : kSizes) {
    for (const auto& filter : filters) {
      for (double argument : filter.arguments) {
        auto fast = extremesImage(size[0], size[1], seed);
        auto plain = extremesImage(size[0], size[1], seed++);
        bmpfun::detail::seedRuntimeRand(seed);
        reference::libraryFilter(*fast, filter.name, argument);
        bmpfun::detail::seedRuntimeRand(seed);
        reference::filter(*plain, filter.name, argument);
        ASSERT_EQ(pixelsOf(*fast), pixelsOf(*plain))
            << filter.name << "(" << argument << ") on " << where(*fast, 0);
      }
    }
  }
}

}  // namespace
}  // namespace bmpfun::test
