// Image pipeline target: the file part of the input is loaded as an Image under a small pixel
// limit; the bytes at the end choose up to four operations and their arguments (so a plain
// BMP file is a useful seed as it is). Each operation must give what its plain definition of
// the test support gives, to the last bit. The result is saved, read back and compared.
#include <bmpfun/image.hpp>

#include "fuzz_support.hpp"
#include "fuzzed_input.hpp"
#include "support/reference_ops.hpp"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <vector>

using namespace bmpfun;

namespace {

constexpr int64_t kMaxPixels = int64_t{1} << 16;
constexpr size_t kOperationBytes = 64;  // taken from the end of the input

// Mostly ordinary factors, sometimes any 64-bit pattern (NaN, infinities, huge values).
double fuzzedReal(fuzz::FuzzedInput& in, double low, double high) {
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

int32_t fuzzedInt(fuzz::FuzzedInput& in, int32_t low, int32_t high) {
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
    FUZZ_CHECK(status != Cause::ok, std::string("empty result reported ok: ") + what);
    return;
  }
  FUZZ_CHECK(status == Cause::ok, std::string("result with status ") + to_string(status));
  checkShape(*made, what);
  current = std::move(made);
}

bool isWhite(const Pixel& p) { return p == Pixel{255, 255, 255, 255}; }

void expectSame(const Image& got, const reference::Grid& want, const char* what) {
  const std::string difference = reference::difference(reference::gridOf(got), want);
  FUZZ_CHECK(difference.empty(), std::string(what) + ": " + difference);
}

// An in-place filter against its plain definition; the random ones draw from the same seed.
void filter(Image& im, const char* name, double argument) {
  auto plain = Image::copyOf(im);
  FUZZ_CHECK(plain != nullptr, "copy for the reference");
  const auto seed = static_cast<unsigned>(std::rand());
  std::srand(seed);
  reference::filter(*plain, name, argument);
  std::srand(seed);
  reference::libraryFilter(im, name, argument);
  expectSame(im, reference::gridOf(*plain), name);
}

// The plain mosaic tests every pixel against every cell: only walks of modest cost.
bool smallMosaic(const Image& im, int32_t bandWidth) {
  if (bandWidth <= 0) return true;
  const int64_t columns = int64_t{2} * im.width() / bandWidth;
  const int64_t cells = columns * (columns - 1) / 2 + columns * (im.width() / bandWidth + 2);
  return cells * im.width() * im.height() <= (int64_t{1} << 24);
}

void apply(std::unique_ptr<Image>& image, fuzz::FuzzedInput& in) {
  Image& im = *image;
  Status status{.cause = Cause::ok};
  switch (in.ConsumeIntegralInRange<int>(0, 21)) {
    case 0: im.sampling(in.ConsumeBool() ? in.ConsumeIntegralInRange<int32_t>(-1, 3) : in.ConsumeIntegral<int32_t>()); break;
    case 1: filter(im, "noise", fuzzedReal(in, -2.0, 2.0)); break;
    case 2: filter(im, "brightness", fuzzedReal(in, -1.0, 3.0)); break;
    case 3: filter(im, "contrast", fuzzedReal(in, -2.0, 3.0)); break;
    case 4: filter(im, "saturation", fuzzedReal(in, -2.0, 3.0)); break;
    case 5: filter(im, "extractChannel", fuzzedInt(in, -1, 4)); break;
    case 6: filter(im, "quantize", fuzzedInt(in, -1, 9)); break;
    case 7: filter(im, "randomDither", fuzzedInt(in, -1, 9)); break;
    case 8: filter(im, "orderedDither", fuzzedInt(in, -1, 9)); break;
    case 9: filter(im, "floydSteinberg", fuzzedInt(in, -1, 9)); break;
    case 10:
    case 11: {
      const int32_t maskSize = fuzzedInt(in, -1, 6);
      const bool sharpen = in.ConsumeBool();
      auto plain = Image::copyOf(im);
      FUZZ_CHECK(plain != nullptr, "copy for the reference");
      if (sharpen) {
        reference::sharpen(*plain, maskSize);
        im.sharpen(maskSize);
      } else {
        reference::blur(*plain, maskSize);
        im.blur(maskSize);
      }
      expectSame(im, reference::gridOf(*plain), sharpen ? "sharpen" : "blur");
      break;
    }
    case 12: FUZZ_CHECK(im.edgeDetect(), "edgeDetect of a loaded image"); break;
    case 13: {
      const int32_t effect = in.ConsumeBool() ? in.ConsumeIntegralInRange<int32_t>(0, 3) : in.ConsumeIntegral<int32_t>();
      auto made = im.fun(effect, &status);
      if (effect < 0 || effect > 2) FUZZ_CHECK(!made && status == Cause::noSuchEffect, "fun effect");
      const reference::Grid want = reference::fun(im, effect);
      FUZZ_CHECK(static_cast<bool>(made) == !want.empty(), "fun made / reference made");
      if (made) expectSame(*made, want, "fun");
      take(image, std::move(made), status, "fun");
      break;
    }
    case 14: {
      const int32_t bandWidth = fuzzedInt(in, -2, 2 * im.width() + 2);
      auto made = im.mosaic(bandWidth, &status);
      FUZZ_CHECK(made && made->width() == im.width() && made->height() == im.height(), "mosaic size");
      if (smallMosaic(im, bandWidth)) expectSame(*made, reference::mosaic(im, bandWidth), "mosaic");
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
      const reference::Grid want = reference::scale(im, sx, sy);
      FUZZ_CHECK(static_cast<bool>(made) == !want.empty(), "scale made / reference made");
      if (made) expectSame(*made, want, "scale");
      take(image, std::move(made), status, "scale");
      break;
    }
    case 17: {
      const double degrees = fuzzedReal(in, -720.0, 720.0);
      auto made = im.rotate(degrees, &status);
      // The reference makes the whole square; past its reach only the limit is checked.
      if (reference::rotateInReach(im)) {
        const reference::Grid want = reference::rotate(im, degrees);
        FUZZ_CHECK(static_cast<bool>(made) == !want.empty(), "rotate made / reference made");
        if (made) expectSame(*made, want, "rotate");
      } else if (made) {
        FUZZ_CHECK(im.limits().allows(made->width(), made->height()), "rotate within the limit");
      }
      take(image, std::move(made), status, "rotate");
      break;
    }
    case 18: {
      auto made = im.autoCrop(&status);
      if (made) {
        FUZZ_CHECK(!isWhite(made->pixels().front()) || made->width() > 1 || made->height() > 1, "autoCrop box");
      } else {
        for (const Pixel& p : im.pixels()) FUZZ_CHECK(isWhite(p) || status != Cause::noContent, "autoCrop content");
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
  fuzz::FuzzedInput in(data + fileSize, opBytes);

  const std::string path = fuzz::scratchFile("pipeline.bmp");
  FUZZ_CHECK(fuzz::writeFile(path, data, fileSize), "cannot write " + path);
  Limits limits;
  limits.maxPixels = kMaxPixels;
  Status status{.cause = Cause::ok};
  std::unique_ptr<Image> image = Image::load(path, limits, &status);
  if (!image) {
    FUZZ_CHECK(!status.ok(), "an empty image reported ok");
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
