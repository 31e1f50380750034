#include "support/reference_ops.hpp"

#include <algorithm>
#include <climits>
#include <cmath>
#include <utility>

namespace bmpfun::reference {

namespace {

constexpr Pixel kWhite{255, 255, 255, 255};
constexpr Pixel kBlack{0, 0, 0, 255};
constexpr Pixel kBlank{255, 255, 255, 0};  // a new image's pixel
// The filters' truncated pi, its stored reciprocal, and degrees to radians with it.
constexpr double kPi = 3.141592;
constexpr double kInversePi = 0.3183099524062959;
constexpr double kRadiansPerDegree = 0.01745328888888889;

std::string text(Pixel p) {
  return std::to_string(p.r) + "," + std::to_string(p.g) + "," + std::to_string(p.b) + "," + std::to_string(p.a);
}

// The integer argument of a filter: the real one truncated, 0 when that does not fit int32.
int32_t integerArgument(double f) {
  return f > -2147483649.0 && f < 2147483648.0 ? static_cast<int32_t>(f) : 0;
}

// A result of width x height can be made under the source's limits.
bool fits(const Image& source, int64_t width, int64_t height) {
  return width <= INT32_MAX && height <= INT32_MAX &&
         source.limits().allows(static_cast<int32_t>(width), static_cast<int32_t>(height));
}

Grid blankGrid(int32_t width, int32_t height) {
  return {width, height, std::vector<Pixel>(static_cast<size_t>(width) * static_cast<size_t>(height), kBlank)};
}

// The channels mosaic cell (i, j) keeps of a pixel, alpha 0; kKeeps[j mod 4][i odd] names
// them as red 4, green 2, blue 1.
Pixel mosaicCell(Pixel source, int32_t i, int32_t j) {
  static constexpr int kKeeps[4][2] = {{1, 4}, {6, 2}, {4, 1}, {2, 6}};
  const int keep = kKeeps[j % 4][i % 2];
  return Pixel{(keep & 4) != 0 ? source.r : uint8_t{0}, (keep & 2) != 0 ? source.g : uint8_t{0},
               (keep & 1) != 0 ? source.b : uint8_t{0}, 0};
}

}  // namespace

Grid gridOf(const Image& image) {
  return {image.width(), image.height(), {image.pixels().begin(), image.pixels().end()}};
}

std::string difference(const Grid& got, const Grid& want) {
  const auto shape = [](const Grid& g) {
    return std::to_string(g.width) + " x " + std::to_string(g.height) + " (" + std::to_string(g.pixels.size()) + ")";
  };
  if (shape(got) != shape(want)) return shape(got) + " instead of " + shape(want);
  const auto [a, b] = std::mismatch(got.pixels.begin(), got.pixels.end(), want.pixels.begin());
  if (a == got.pixels.end()) return {};
  return "pixel " + std::to_string(a - got.pixels.begin()) + " of " + shape(got) + " is " + text(*a) + " instead of " +
         text(*b);
}

Pixel sample(const Image& image, double x, double y) {
  const int32_t w = image.width();
  const int32_t h = image.height();
  const bool inside = x >= 0.0 && y >= 0.0 && x < static_cast<double>(w) && y < static_cast<double>(h);
  switch (image.samplingMethod()) {
    case kPoint:
      return inside ? image.pixel(static_cast<int32_t>(x), static_cast<int32_t>(y)) : kWhite;
    case kBilinear: {
      const double fx = std::floor(x);
      const double fy = std::floor(y);
      if (!(fx >= -2147483648.0 && fx <= 2147483647.0 && fy >= -2147483648.0 && fy <= 2147483647.0)) {
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

Grid fun(const Image& source, int32_t effect) {
  const int32_t w = source.width();
  const int32_t h = source.height();
  if (effect == 0) {
    Grid out = blankGrid(w, h);
    for (int32_t i = 0; i < w; ++i) {
      for (int32_t k = 0; k < h; ++k) {
        const double angle = (static_cast<double>(int64_t{2} * i) * kPi) / static_cast<double>(w);
        const double y = static_cast<double>(h / 2) * std::sin(angle) + static_cast<double>(k);
        out.pixels[static_cast<size_t>(i) + static_cast<size_t>(k) * static_cast<size_t>(w)] =
            sample(source, static_cast<double>(i), y);
      }
    }
    return out;
  }
  if (effect != 1 && effect != 2) return {};
  const int64_t side = int64_t{2} * h + 1;
  if (effect == 1 && !fits(source, side, side)) return {};
  Grid out = effect == 1 ? blankGrid(static_cast<int32_t>(side), static_cast<int32_t>(side)) : blankGrid(w, h);
  const int64_t size = static_cast<int64_t>(out.pixels.size());
  for (int64_t i = -h; i <= h; ++i) {
    for (int64_t c = -h; c <= h; ++c) {
      const int64_t element = (c + h) * out.width + (i + h);
      if (element >= size) continue;  // effect 2 drops the stores past the end
      const double dc = static_cast<double>(c), di = static_cast<double>(i);
      const double theta = std::atan2(dc, di);
      const double radius = std::sqrt(std::pow(dc, 2.0) + std::pow(di, 2.0));
      const double x = (static_cast<double>(w / 2) * theta) * kInversePi + static_cast<double>(w / 2);
      out.pixels[static_cast<size_t>(element)] = sample(source, x, radius);
    }
  }
  return out;
}

Grid mosaic(const Image& source, int32_t a, std::vector<int>* writes) {
  const int32_t w = source.width();
  const int32_t h = source.height();
  Grid out = blankGrid(w, h);
  if (writes != nullptr) writes->assign(out.pixels.size(), 0);
  if (a <= 0) return out;
  for (int32_t i = 0; i < (2 * w) / a; ++i) {
    for (int32_t j = -1; j <= i + w / a; ++j) {
      for (int32_t k = 0; k < w; ++k) {
        for (int32_t l = 0; l < h; ++l) {
          const bool inSum = j * a <= k + l && k + l < (j + 1) * a;
          const bool inDifference = (j - i) * a <= k - l && k - l < (j - i + 1) * a;
          if (!inSum || !inDifference) continue;
          const size_t e = static_cast<size_t>(k) + static_cast<size_t>(l) * static_cast<size_t>(w);
          out.pixels[e] = mosaicCell(source.pixels()[e], i, j);
          if (writes != nullptr) ++(*writes)[e];
        }
      }
    }
  }
  return out;
}

Grid scale(const Image& source, double sx, double sy) {
  const double realWidth = static_cast<double>(source.width()) * sx;
  const double realHeight = static_cast<double>(source.height()) * sy;
  if (!(realWidth >= 1.0 && realWidth < 2147483648.0 && realHeight >= 1.0 && realHeight < 2147483648.0)) {
    return {};
  }
  const auto outWidth = static_cast<int32_t>(realWidth);
  const auto outHeight = static_cast<int32_t>(realHeight);
  if (!fits(source, outWidth, outHeight)) return {};
  Grid out = blankGrid(outWidth, outHeight);
  for (int32_t i = 0; i < outWidth; ++i) {
    for (int32_t j = 0; j < outHeight; ++j) {
      out.pixels[static_cast<size_t>(i) + static_cast<size_t>(j) * static_cast<size_t>(outWidth)] =
          sample(source, static_cast<double>(i) / sx, static_cast<double>(j) * (1.0 / sy));
    }
  }
  return out;
}

namespace {

int64_t rotateSide(const Image& source) {
  const auto d = static_cast<int64_t>(std::sqrt(std::pow(static_cast<double>(source.width()), 2.0) +
                                                std::pow(static_cast<double>(source.height()), 2.0)));
  return 2 * d + 1;
}

}  // namespace

bool rotateInReach(const Image& source) {
  const int64_t side = rotateSide(source);
  return side * side <= (int64_t{1} << 24);
}

Grid rotate(const Image& source, double degrees) {
  if (!rotateInReach(source)) return {};
  const double rad = degrees * kRadiansPerDegree;
  const int64_t side = rotateSide(source);
  const int64_t d = side / 2;
  std::vector<Pixel> square(static_cast<size_t>(side) * static_cast<size_t>(side));
  int64_t left = side, right = -1, top = side, bottom = -1;
  for (int64_t i = -d; i <= d; ++i) {
    for (int64_t c = -d; c <= d; ++c) {
      const double di = static_cast<double>(i), dc = static_cast<double>(c);
      const Pixel p = sample(source, di * std::cos(rad) - dc * std::sin(rad), dc * std::cos(rad) + di * std::sin(rad));
      square[static_cast<size_t>((i + d) + (c + d) * side)] = p;
      if (p == kWhite) continue;
      left = std::min(left, i + d), right = std::max(right, i + d);
      top = std::min(top, c + d), bottom = std::max(bottom, c + d);
    }
  }
  if (right < 0 || !fits(source, right - left + 1, bottom - top + 1)) return {};
  Grid out{static_cast<int32_t>(right - left + 1), static_cast<int32_t>(bottom - top + 1), {}};
  for (int64_t y = top; y <= bottom; ++y) {
    for (int64_t x = left; x <= right; ++x) out.pixels.push_back(square[static_cast<size_t>(x + y * side)]);
  }
  return out;
}

Pixel convolve(const Image& image, int32_t x, int32_t y, const BlurMask& mask) {
  Pixel sum{0, 0, 0, 255};
  for (int32_t a = 0; a < 5; ++a) {
    for (int32_t b = 0; b < 5; ++b) {
      int32_t gx = x + a - 2, gy = y + b - 2;
      if (gx < 0 || gx >= image.width()) gx = x;  // outside: the centre's column
      if (gy < 0 || gy >= image.height()) gy = y;  // and row
      sum = sum.add(image.pixels()[static_cast<size_t>(gx + gy * image.width())].scaleBy(mask[a][b]));
    }
  }
  return sum;
}

void blur(Image& image, int32_t maskSize) {
  const BlurMask* mask = blurMaskFor(maskSize);
  if (mask == nullptr) return;
  for (int32_t x = 0; x < image.width(); ++x) {
    for (int32_t y = 0; y < image.height(); ++y) image.pixel(x, y) = convolve(image, x, y, *mask);
  }
}

void sharpen(Image& image, int32_t maskSize) {
  const BlurMask* mask = blurMaskFor(maskSize);
  for (int32_t x = 0; x < image.width(); ++x) {
    for (int32_t y = 0; y < image.height(); ++y) {
      const Pixel original = image.pixel(x, y);
      const Pixel blurred = mask != nullptr ? convolve(image, x, y, *mask) : original;
      image.pixel(x, y) = blurred.lerp(original, 1.5);
    }
  }
}

void filter(Image& image, const std::string& name, double f) {
  const int32_t n = integerArgument(f);
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
          if (image.isValid(tx, ty)) image.pixel(tx, ty) = image.pixel(tx, ty).add(error.scaleBy(shares[k]));
        }
      }
    }
    return;
  }
  static const int32_t thresholds[4][4] = {{15, 7, 13, 5}, {3, 11, 1, 9}, {12, 4, 14, 6}, {0, 8, 2, 10}};
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
          *c = *c - level <= threshold ? level
                                       : static_cast<uint8_t>(std::min(static_cast<int32_t>(level + step), 255));
        }
      }
    }
  }
}

void libraryFilter(Image& image, const std::string& name, double f) {
  const int32_t n = integerArgument(f);
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

}  // namespace bmpfun::reference
