// The fast paths against the plain ones. Each reference below is the operation written
// straight from its rules, one Pixel operation at a time, in the defined visiting order;
// the library's specialised loops must give the same pixels to the bit on random images of
// odd sizes, under every sampling method (and an unknown one).
#include "support/test_support.hpp"

#include "filters/channels.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <random>
#include <string>
#include <utility>
#include <vector>

namespace bmpfun::test {
namespace {

constexpr Pixel kWhite{255, 255, 255, 255};
constexpr Pixel kBlack{0, 0, 0, 255};
constexpr double kPi = 3.141592;
constexpr double kInversePi = 0.3183099524062959;

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

// ---------------------------------------------------------------- references

Pixel referenceSample(const Image& image, double x, double y) {
  const int32_t w = image.width();
  const int32_t h = image.height();
  const bool inside = x >= 0.0 && y >= 0.0 && x < static_cast<double>(w) &&
                      y < static_cast<double>(h);
  switch (image.samplingMethod()) {
    case kPoint:
      return inside ? image.pixel(static_cast<int32_t>(x), static_cast<int32_t>(y)) : kWhite;
    case kBilinear: {
      const double fx = std::floor(x);
      const double fy = std::floor(y);
      if (!(fx >= -2147483648.0 && fx <= 2147483647.0 && fy >= -2147483648.0 &&
            fy <= 2147483647.0)) {
        return kWhite;
      }
      const int32_t x0 = static_cast<int32_t>(fx);
      const int32_t y0 = static_cast<int32_t>(fy);
      if (x0 < 0 || y0 < 0 || int64_t{x0} + 1 > w || int64_t{y0} + 1 > h) return kWhite;
      const double X0 = static_cast<double>(x0);
      const double Y0 = static_cast<double>(y0);
      int32_t left = x0, right = x0 + 1, top = y0, bottom = y0 + 1;
      double wL = static_cast<double>(x0 + 1) - x, wR = x - X0;
      double wT = static_cast<double>(y0 + 1) - y, wB = y - Y0;
      if (x0 + 1 == w) {
        left = x0 - 1 < 0 ? 0 : x0 - 1;  // one-pixel-wide images read column 0
        right = x0;
        wL = (X0 - x) + 1.0;
      }
      if (y0 + 1 == h) {
        top = y0 - 1 < 0 ? 0 : y0 - 1;
        bottom = y0;
        wT = (Y0 - y) + 1.0;
      }
      const Pixel tl = image.pixel(left, top).scaleBy(wL).scaleBy(wT);
      const Pixel bl = image.pixel(left, bottom).scaleBy(wL).scaleBy(wB);
      const Pixel tr = image.pixel(right, top).scaleBy(wR).scaleBy(wT);
      const Pixel br = image.pixel(right, bottom).scaleBy(wR).scaleBy(wB);
      return tl.add(bl).add(tr).add(br);
    }
    case kGaussian: {
      if (!inside) return kWhite;
      const int32_t cx = static_cast<int32_t>(std::floor(x - 2.5));
      const int32_t cy = static_cast<int32_t>(std::floor(y - 2.5));
      Pixel sum{0, 0, 0, 255};
      for (int32_t i = cx < 0 ? 0 : cx; i < cx + 5 && i < w; ++i) {
        for (int32_t j = cy < 0 ? 0 : cy; j < cy + 5 && j < h; ++j) {
          sum = sum.add(image.pixel(i, j).scaleBy(kBinomialMask5[i - cx][j - cy]));
        }
      }
      return sum;
    }
    default:
      return kBlack;
  }
}

// The warps with their own loop orders; effect 2 makes every store, skipping only those
// past the end, so later stores replace earlier ones.
std::vector<Pixel> referenceFun(const Image& source, int32_t effect) {
  const int32_t w = source.width();
  const int32_t h = source.height();
  const Pixel blank{255, 255, 255, 0};
  if (effect == 0) {
    std::vector<Pixel> out(static_cast<size_t>(w) * static_cast<size_t>(h), blank);
    for (int32_t i = 0; i < w; ++i) {
      for (int32_t k = 0; k < h; ++k) {
        const double angle = (static_cast<double>(2 * i) * kPi) / static_cast<double>(w);
        const double y = static_cast<double>(h / 2) * std::sin(angle) + static_cast<double>(k);
        out[static_cast<size_t>(i + k * w)] = referenceSample(source, static_cast<double>(i), y);
      }
    }
    return out;
  }
  const int32_t side = 2 * h + 1;
  const int32_t outWidth = effect == 1 ? side : w;
  const int32_t outHeight = effect == 1 ? side : h;
  std::vector<Pixel> out(static_cast<size_t>(outWidth) * static_cast<size_t>(outHeight), blank);
  for (int32_t i = -h; i <= h; ++i) {
    for (int32_t c = -h; c <= h; ++c) {
      const double theta = std::atan2(static_cast<double>(c), static_cast<double>(i));
      const double radius = std::sqrt(std::pow(static_cast<double>(c), 2.0) +
                                      std::pow(static_cast<double>(i), 2.0));
      const double x = (static_cast<double>(w / 2) * theta) * kInversePi +
                       static_cast<double>(w / 2);
      const size_t element = static_cast<size_t>((c + h) * outWidth + (i + h));
      if (element < out.size()) out[element] = referenceSample(source, x, radius);
    }
  }
  return out;
}


// Scale and rotate, column by column as defined; rotate trims the square to the box of its
// pixels other than white.
std::vector<Pixel> referenceScale(const Image& source, double sx, double sy, int32_t& outWidth) {
  outWidth = static_cast<int32_t>(static_cast<double>(source.width()) * sx);
  const int32_t outHeight = static_cast<int32_t>(static_cast<double>(source.height()) * sy);
  std::vector<Pixel> out(static_cast<size_t>(outWidth) * static_cast<size_t>(outHeight));
  for (int32_t i = 0; i < outWidth; ++i) {
    for (int32_t j = 0; j < outHeight; ++j) {
      out[static_cast<size_t>(i + j * outWidth)] =
          referenceSample(source, static_cast<double>(i) / sx, static_cast<double>(j) * (1.0 / sy));
    }
  }
  return out;
}

std::vector<Pixel> referenceRotate(const Image& source, double degrees, int32_t& outWidth) {
  const double rad = degrees * 0.01745328888888889;
  const auto d = static_cast<int32_t>(std::sqrt(std::pow(source.width(), 2.0) +
                                                std::pow(source.height(), 2.0)));
  const int32_t side = 2 * d + 1;
  std::vector<Pixel> square(static_cast<size_t>(side) * static_cast<size_t>(side));
  int32_t left = side, right = -1, top = side, bottom = -1;
  for (int32_t i = -d; i <= d; ++i) {
    for (int32_t c = -d; c <= d; ++c) {
      const double di = i, dc = c;
      const Pixel p = referenceSample(source, di * std::cos(rad) - dc * std::sin(rad),
                                      dc * std::cos(rad) + di * std::sin(rad));
      square[static_cast<size_t>((i + d) + (c + d) * side)] = p;
      if (p == kWhite) continue;
      left = std::min(left, i + d), right = std::max(right, i + d);
      top = std::min(top, c + d), bottom = std::max(bottom, c + d);
    }
  }
  outWidth = right - left + 1;
  std::vector<Pixel> out;
  for (int32_t y = top; y <= bottom; ++y) {
    for (int32_t x = left; x <= right; ++x) {
      out.push_back(square[static_cast<size_t>(x + y * side)]);
    }
  }
  return out;
}

// The in-place filters, each as the plain loop over Pixel operations.
void referenceFilter(Image& image, const std::string& name, double f) {
  const int32_t n = std::isfinite(f) ? static_cast<int32_t>(f) : 0;
  const int32_t bits = n < 1 ? 1 : n > 8 ? 8 : n;
  if (name == "floydSteinberg") {
    const double shares[4] = {0.4375, 0.1875, 0.3125, 0.0625};
    const int32_t offsets[4][2] = {{1, 0}, {-1, 1}, {0, 1}, {1, 1}};
    for (int32_t y = 0; y < image.height(); ++y) {
      for (int32_t x = 0; x < image.width(); ++x) {
        const Pixel q = image.pixel(x, y).quantize(bits);
        const Pixel error = image.pixel(x, y).subtract(q);
        image.pixel(x, y) = q;
        for (int k = 0; k < 4; ++k) {
          const int32_t tx = x + offsets[k][0], ty = y + offsets[k][1];
          if (image.isValid(tx, ty)) {
            image.pixel(tx, ty) = image.pixel(tx, ty).add(error.scaleBy(shares[k]));
          }
        }
      }
    }
    return;
  }
  static const int32_t thresholds[4][4] = {
      {15, 7, 13, 5}, {3, 11, 1, 9}, {12, 4, 14, 6}, {0, 8, 2, 10}};
  for (int32_t x = 0; x < image.width(); ++x) {
    for (int32_t y = 0; y < image.height(); ++y) {
      Pixel& p = image.pixel(x, y);
      if (name == "noise") {
        p = p.add(Pixel::random().scaleBy(f));
      } else if (name == "brightness") {
        p = p.scaleBy(f);
      } else if (name == "contrast") {
        p = Pixel{123, 123, 123, 255}.lerp(p, f);
      } else if (name == "saturation") {
        const uint8_t l = p.luminance();
        p = Pixel{l, l, l, p.a}.lerp(p, f);
      } else if (name == "extractChannel") {
        const uint8_t keep[4] = {p.r, p.g, p.b, p.a};
        if (n < 0 || n > 3) continue;
        p = Pixel{0, 0, 0, 0};
        (n == 0 ? p.r : n == 1 ? p.g : n == 2 ? p.b : p.a) = keep[n];
      } else if (name == "quantize") {
        p = p.quantize(n);
      } else if (name == "randomDither") {
        const Pixel noise = Pixel::random();
        p = p.scaleBy(0.5).add(noise.scaleBy(0.5)).quantize(bits);
      } else if (name == "orderedDither") {
        const int32_t shift = 8 - bits;
        const float step = 255.0f / static_cast<float>(255 >> shift);
        const int32_t threshold = (thresholds[x % 4][y % 4] << shift) / 16;
        const Pixel q = p.quantize(bits);
        for (auto [c, level] : {std::pair{&p.r, q.r}, {&p.g, q.g}, {&p.b, q.b}}) {
          *c = *c - level <= threshold
                   ? level
                   : static_cast<uint8_t>(std::min(static_cast<int32_t>(level + step), 255));
        }
      }
    }
  }
}

// The library's filter by the same name.
void libraryFilter(Image& image, const std::string& name, double f) {
  const int32_t n = std::isfinite(f) ? static_cast<int32_t>(f) : 0;
  if (name == "noise") image.noise(f);
  if (name == "brightness") image.brightness(f);
  if (name == "contrast") image.contrast(f);
  if (name == "saturation") image.saturation(f);
  if (name == "extractChannel") image.extractChannel(n);
  if (name == "quantize") image.quantize(n);
  if (name == "randomDither") image.randomDither(n);
  if (name == "orderedDither") image.orderedDither(n);
  if (name == "floydSteinberg") image.FloydSteinbergDither(n);
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
        ASSERT_EQ(image->sample(x, y), referenceSample(*image, x, y))
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
        ASSERT_EQ(pixelsOf(*out), referenceFun(*source, effect)) << where(*source, effect);
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
        int32_t width = 0;
        const std::vector<Pixel> want = referenceScale(*source, f[0], f[1], width);
        auto out = source->scale(f[0], f[1]);
        ASSERT_EQ(out ? pixelsOf(*out) : std::vector<Pixel>{}, want) << where(*source, 0);
        if (out) EXPECT_EQ(out->width(), width);
      }
      for (double degrees : angles) {
        int32_t width = 0;
        const std::vector<Pixel> want = referenceRotate(*source, degrees, width);
        auto out = source->rotate(degrees);
        ASSERT_EQ(out ? pixelsOf(*out) : std::vector<Pixel>{}, want) << where(*source, 1);
        if (out) EXPECT_EQ(out->width(), width);
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
        std::srand(seed);
        libraryFilter(*fast, filter.name, argument);
        std::srand(seed);
        referenceFilter(*plain, filter.name, argument);
        ASSERT_EQ(pixelsOf(*fast), pixelsOf(*plain))
            << filter.name << "(" << argument << ") on " << where(*fast, 0);
      }
    }
  }
}

}  // namespace
}  // namespace bmpfun::test
