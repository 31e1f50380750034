// Image pipeline target: the file part of the input is loaded as an Image under a small pixel
// limit; the bytes at the end choose up to four operations and their arguments (so a plain
// BMP file is a useful seed as it is). The result is saved, read back and compared.
#include <bmpfun/image.hpp>

#include "fuzz_support.hpp"

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <span>
#include <string>
#include <vector>

using namespace bmpfun;

namespace {

constexpr int64_t kMaxPixels = int64_t{1} << 16;
constexpr size_t kOperationBytes = 64;  // taken from the end of the input

// Mostly ordinary factors, sometimes any 64-bit pattern (NaN, infinities, huge values).
double fuzzedReal(FuzzedDataProvider& in, double low, double high) {
  switch (in.ConsumeIntegralInRange<int>(0, 3)) {
    case 0: {
      const uint64_t bits = in.ConsumeIntegral<uint64_t>();
      double v;
      std::memcpy(&v, &bits, sizeof v);
      return v;
    }
    case 1: return static_cast<double>(in.ConsumeIntegralInRange<int>(-4, 4));
    default: return in.ConsumeFloatingPointInRange<double>(low, high);
  }
}

int32_t fuzzedInt(FuzzedDataProvider& in, int32_t low, int32_t high) {
  return in.ConsumeBool() ? in.ConsumeIntegralInRange<int32_t>(low, high) : in.ConsumeIntegral<int32_t>();
}

void checkShape(const Image& image, const char* what) {
  FUZZ_CHECK(image.width() >= 1 && image.height() >= 1 &&
                 int64_t{image.width()} * image.height() <= kMaxPixels &&
                 image.pixels().size() == static_cast<size_t>(image.width()) * static_cast<size_t>(image.height()) &&
                 image.pixelCount() == static_cast<int32_t>(image.pixels().size()),
             std::string("bad shape after ") + what);
}

// A new image from an operation: either made (status ok, a sane shape) or empty with a reason.
void take(std::unique_ptr<Image>& current, std::unique_ptr<Image> made, ImageStatus status, const char* what) {
  if (!made) {
    FUZZ_CHECK(status != ImageStatus::ok, std::string("empty result reported ok: ") + what);
    return;
  }
  FUZZ_CHECK(status == ImageStatus::ok, std::string("result with status ") + to_string(status));
  checkShape(*made, what);
  current = std::move(made);
}

bool isWhite(const Pixel& p) { return p == Pixel{255, 255, 255, 255}; }

// ---- references: the plain definitions the optimised operations must match to the last bit

constexpr double kPi = 3.141592;
constexpr double kInversePi = 0.3183099524062959;
constexpr double kRadiansPerDegree = 0.01745328888888889;

void expectSamePixels(std::span<const Pixel> got, std::span<const Pixel> want, const char* what) {
  FUZZ_CHECK(got.size() == want.size(), std::string(what) + ": size");
  for (size_t i = 0; i < got.size(); ++i) {
    if (got[i] == want[i]) continue;
    const Pixel g = got[i], w = want[i];
    FUZZ_CHECK(false, std::string(what) + ": element " + std::to_string(i) + " is " + std::to_string(g.r) + "," +
                          std::to_string(g.g) + "," + std::to_string(g.b) + "," + std::to_string(g.a) + ", expected " +
                          std::to_string(w.r) + "," + std::to_string(w.g) + "," + std::to_string(w.b) + "," +
                          std::to_string(w.a));
  }
}

// blur and sharpen: convolvePixel at every pixel, column by column, in place.
std::vector<Pixel> referenceNeighbourhood(const Image& im, int32_t maskSize, bool sharpen) {
  auto work = Image::copyOf(im);
  FUZZ_CHECK(work != nullptr, "copy for the reference");
  const BlurMask* mask = blurMaskFor(maskSize);
  if (mask == nullptr) return {work->pixels().begin(), work->pixels().end()};
  for (int32_t x = 0; x < work->width(); ++x) {
    for (int32_t y = 0; y < work->height(); ++y) {
      const Pixel original = work->pixel(x, y);
      convolvePixel(*work, x, y, *mask);
      if (sharpen) work->pixel(x, y) = work->pixel(x, y).lerp(original, 1.5);
    }
  }
  return {work->pixels().begin(), work->pixels().end()};
}

// fun: every output pixel (or store, for effect 2) is one sample at the warp's position.
std::vector<Pixel> referenceFun(const Image& im, int32_t effect) {
  const int32_t w = im.width(), h = im.height();
  std::vector<Pixel> out;
  if (effect == 0) {
    out.assign(static_cast<size_t>(w) * static_cast<size_t>(h), Pixel{255, 255, 255, 0});
    const double amplitude = static_cast<double>(h / 2);
    for (int32_t i = 0; i < w; ++i) {
      const double angle = (static_cast<double>(int64_t{2} * i) * kPi) / static_cast<double>(w);
      const double shift = amplitude * std::sin(angle);
      for (int32_t k = 0; k < h; ++k) {
        out[static_cast<size_t>(i) + static_cast<size_t>(k) * static_cast<size_t>(w)] =
            im.sample(static_cast<double>(i), shift + static_cast<double>(k));
      }
    }
    return out;
  }
  const int64_t side = int64_t{2} * h + 1;
  const int64_t rowLength = effect == 1 ? side : w;
  out.assign(effect == 1 ? static_cast<size_t>(side * side) : static_cast<size_t>(w) * static_cast<size_t>(h),
             Pixel{255, 255, 255, 0});
  const double halfWidth = static_cast<double>(w / 2);
  for (int64_t i = -h; i <= h; ++i) {
    for (int64_t c = -h; c <= h; ++c) {
      const int64_t element = (c + h) * rowLength + (i + h);
      if (element >= static_cast<int64_t>(out.size())) continue;
      const double dc = static_cast<double>(c), di = static_cast<double>(i);
      const double theta = std::atan2(dc, di);
      const double radius = std::sqrt(std::pow(dc, 2.0) + std::pow(di, 2.0));
      out[static_cast<size_t>(element)] = im.sample((halfWidth * theta) * kInversePi + halfWidth, radius);
    }
  }
  return out;
}

std::vector<Pixel> referenceScale(const Image& im, const Image& made, double sx, double sy) {
  std::vector<Pixel> out(made.pixels().size());
  const double inverseSy = 1.0 / sy;
  for (int32_t j = 0; j < made.height(); ++j) {
    for (int32_t i = 0; i < made.width(); ++i) {
      out[static_cast<size_t>(i) + static_cast<size_t>(j) * static_cast<size_t>(made.width())] =
          im.sample(static_cast<double>(i) / sx, static_cast<double>(j) * inverseSy);
    }
  }
  return out;
}

// rotate: the (2d + 1)^2 square of samples about pixel (0, 0), trimmed by autoCrop.
std::unique_ptr<Image> referenceRotate(const Image& im, double degrees) {
  const double rad = degrees * kRadiansPerDegree;
  const double diagonal = std::sqrt(std::pow(static_cast<double>(im.width()), 2.0) +
                                    std::pow(static_cast<double>(im.height()), 2.0));
  const auto d = static_cast<int32_t>(diagonal);
  auto square = Image::create(2 * d + 1, 2 * d + 1, im.limits());
  if (!square) return nullptr;
  const double cosine = std::cos(rad), sine = std::sin(rad);
  for (int32_t i = -d; i <= d; ++i) {
    const double di = static_cast<double>(i);
    const double diCos = di * cosine, diSin = di * sine;
    for (int32_t c = -d; c <= d; ++c) {
      const double dc = static_cast<double>(c);
      square->pixel(i + d, c + d) = im.sample(diCos - dc * sine, dc * cosine + diSin);
    }
  }
  return square->autoCrop();
}

void apply(std::unique_ptr<Image>& image, FuzzedDataProvider& in) {
  Image& im = *image;
  ImageStatus status = ImageStatus::ok;
  switch (in.ConsumeIntegralInRange<int>(0, 21)) {
    case 0: im.sampling(in.ConsumeBool() ? in.ConsumeIntegralInRange<int32_t>(-1, 3) : in.ConsumeIntegral<int32_t>()); break;
    case 1: im.noise(fuzzedReal(in, -2.0, 2.0)); break;
    case 2: im.brightness(fuzzedReal(in, -1.0, 3.0)); break;
    case 3: im.contrast(fuzzedReal(in, -2.0, 3.0)); break;
    case 4: im.saturation(fuzzedReal(in, -2.0, 3.0)); break;
    case 5: im.extractChannel(fuzzedInt(in, -1, 4)); break;
    case 6: im.quantize(fuzzedInt(in, -1, 9)); break;
    case 7: im.randomDither(fuzzedInt(in, -1, 9)); break;
    case 8: im.orderedDither(fuzzedInt(in, -1, 9)); break;
    case 9: im.FloydSteinbergDither(fuzzedInt(in, -1, 9)); break;
    case 10:
    case 11: {
      const int32_t maskSize = fuzzedInt(in, -1, 6);
      const bool sharpen = in.ConsumeBool();
      const std::vector<Pixel> want = referenceNeighbourhood(im, maskSize, sharpen);
      if (sharpen) im.sharpen(maskSize); else im.blur(maskSize);
      expectSamePixels(im.pixels(), want, sharpen ? "sharpen" : "blur");
      break;
    }
    case 12: FUZZ_CHECK(im.edgeDetect(), "edgeDetect of a loaded image"); break;
    case 13: {
      const int32_t effect = in.ConsumeBool() ? in.ConsumeIntegralInRange<int32_t>(0, 3) : in.ConsumeIntegral<int32_t>();
      auto made = im.fun(effect, &status);
      if (effect < 0 || effect > 2) FUZZ_CHECK(!made && status == ImageStatus::noSuchEffect, "fun effect");
      if (made && effect != 1) FUZZ_CHECK(made->width() == im.width() && made->height() == im.height(), "fun size");
      if (made && effect == 1) FUZZ_CHECK(made->width() == 2 * im.height() + 1 && made->height() == made->width(), "disc size");
      if (made) expectSamePixels(made->pixels(), referenceFun(im, effect), "fun");
      take(image, std::move(made), status, "fun");
      break;
    }
    case 14: {
      auto made = im.mosaic(fuzzedInt(in, -2, 2 * im.width() + 2), &status);
      FUZZ_CHECK(made && made->width() == im.width() && made->height() == im.height(), "mosaic size");
      take(image, std::move(made), status, "mosaic");
      break;
    }
    case 15: {
      const int32_t x = fuzzedInt(in, -1, im.width()), y = fuzzedInt(in, -1, im.height());
      const int32_t w = fuzzedInt(in, 0, im.width() + 1), h = fuzzedInt(in, 0, im.height() + 1);
      auto made = im.crop(x, y, w, h, &status);
      const bool inside = w >= 1 && h >= 1 && x >= 0 && y >= 0 && int64_t{x} + w <= im.width() &&
                          int64_t{y} + h <= im.height();
      FUZZ_CHECK(static_cast<bool>(made) == inside, "crop accepted " + std::to_string(x) + "," +
                                                     std::to_string(y) + " " + std::to_string(w) + "x" + std::to_string(h));
      if (made) {
        for (int32_t j = 0; j < h; ++j) {
          for (int32_t i = 0; i < w; ++i) FUZZ_CHECK(made->pixel(i, j) == im.pixel(x + i, y + j), "crop pixel");
        }
      }
      take(image, std::move(made), status, "crop");
      break;
    }
    case 16: {
      const double sx = fuzzedReal(in, -0.5, 4.0), sy = fuzzedReal(in, -0.5, 4.0);
      auto made = im.scale(sx, sy, &status);
      if (made) expectSamePixels(made->pixels(), referenceScale(im, *made, sx, sy), "scale");
      take(image, std::move(made), status, "scale");
      break;
    }
    case 17: {
      const double degrees = fuzzedReal(in, -720.0, 720.0);
      auto made = im.rotate(degrees, &status);
      auto want = referenceRotate(im, degrees);
      FUZZ_CHECK(static_cast<bool>(made) == static_cast<bool>(want), "rotate made / reference made");
      if (made) {
        FUZZ_CHECK(made->width() == want->width() && made->height() == want->height(), "rotate size");
        expectSamePixels(made->pixels(), want->pixels(), "rotate");
      }
      take(image, std::move(made), status, "rotate");
      break;
    }
    case 18: {
      auto made = im.autoCrop(&status);
      if (made) {
        FUZZ_CHECK(!isWhite(made->pixels().front()) || made->width() > 1 || made->height() > 1, "autoCrop box");
      } else {
        for (const Pixel& p : im.pixels()) FUZZ_CHECK(isWhite(p) || status != ImageStatus::noContent, "autoCrop content");
      }
      take(image, std::move(made), status, "autoCrop");
      break;
    }
    case 19: {
      for (int k = 0; k < 4; ++k) {
        const double x = fuzzedReal(in, -3.0, im.width() + 3.0), y = fuzzedReal(in, -3.0, im.height() + 3.0);
        const Pixel p = im.sample(x, y);
        const int32_t m = im.samplingMethod();
        if (m < 0 || m > 2) FUZZ_CHECK((p == Pixel{0, 0, 0, 255}), "fallback sampling");
        else if (!(x >= 0 && y >= 0 && x < im.width() && y < im.height()))
          FUZZ_CHECK(isWhite(p), "outside sample");
      }
      break;
    }
    case 20: {
      auto made = Image::copyOf(im, &status);
      FUZZ_CHECK(made && std::ranges::equal(made->pixels(), im.pixels()), "copyOf");
      take(image, std::move(made), status, "copyOf");
      break;
    }
    default: {
      // convolvePixel with any coordinates: outside the image nothing happens.
      const int32_t x = fuzzedInt(in, -3, im.width() + 3), y = fuzzedInt(in, -3, im.height() + 3);
      const BlurMask* mask = blurMaskFor(fuzzedInt(in, 2, 6));
      if (mask != nullptr) convolvePixel(im, x, y, *mask);
      break;
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Random draws (noise, randomDither) start from the same state for every input.
  std::srand(1);
  const size_t opBytes = std::min(size, kOperationBytes);
  const size_t fileSize = size - opBytes;
  FuzzedDataProvider in(data + fileSize, opBytes);

  const std::string path = fuzz::scratchFile("pipeline.bmp");
  FUZZ_CHECK(fuzz::writeFile(path, data, fileSize), "cannot write " + path);
  Limits limits;
  limits.maxPixels = kMaxPixels;
  ImageStatus status = ImageStatus::ok;
  std::unique_ptr<Image> image = Image::load(path, limits, &status);
  if (!image) {
    FUZZ_CHECK(status == ImageStatus::loadFailed, to_string(status));
    return 0;
  }
  checkShape(*image, "load");

  const int count = in.ConsumeIntegralInRange<int>(1, 4);
  for (int k = 0; k < count; ++k) apply(image, in);

  // Whatever came out saves as 24 bits and reads back with the same colours and alpha 0.
  const std::string out = fuzz::scratchFile("pipeline-out.bmp");
  FUZZ_CHECK(image->save(out), "save");
  auto back = Image::load(out, limits);
  FUZZ_CHECK(back && back->width() == image->width() && back->height() == image->height(), "reload");
  for (size_t i = 0; i < back->pixels().size(); ++i) {
    const Pixel p = image->pixels()[i];
    FUZZ_CHECK((back->pixels()[i] == Pixel{p.r, p.g, p.b, 0}), "pixel after save");
  }
  return 0;
}
