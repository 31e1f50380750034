// Extended reader target, all in memory: the same bytes through the default and the extended
// reader, checking what ties them together.
//  - Whatever the default reader accepts, the extended reader accepts; a file the default
//    reader refuses is marked "read it with --extended" exactly when the extended reader
//    takes it. (The default reader decodes the pixels only of files whose layouts agree;
//    for the others its header stages give the verdict.)
//  - Where the two sets of rules agree (a Windows header, no compression, 1, 4, 8, 24 or 32
//    bits, the whole table and every row in the file, the data at bfOffBits), both give the
//    same red, green and blue.
//  - Image::loadMemory gives the extended bitmap's pixels (one input in four); the bitmap is
//    a valid grid with a table of its depth's size.
//  - describeHeaders of the bytes stays inside them and lists the file header's fields first.
//  - Saving the decode at 32 bits with alpha masks and reading it back with the extended
//    reader gives the same RGBA, unless every pixel has alpha 0 (an alpha channel that is 0
//    everywhere reads as opaque).
#include <bmpfun/bmp.hpp>
#include <bmpfun/image.hpp>

#include "base/byte_source.hpp"
#include "bmp/reader.hpp"
#include "fuzz_support.hpp"

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

using namespace bmpfun;

namespace {

constexpr int64_t kMaxPixels = int64_t{1} << 14;

uint32_t u32(const uint8_t* data, size_t size, size_t at) {
  uint32_t v = 0;
  for (size_t i = 0; i < 4 && at + i < size; ++i) v |= uint32_t{data[at + i]} << (8 * i);
  return v;
}

std::string describe(const Bitmap& b) {
  return std::to_string(b.width()) + "x" + std::to_string(b.height()) + " at " + std::to_string(b.bitsPerPixel()) +
         " bits";
}

std::string pixelText(BitmapPixel p) {
  return std::to_string(p.blue) + "," + std::to_string(p.green) + "," + std::to_string(p.red) + "," +
         std::to_string(p.alpha);
}

// Headers both readers lay out and colour the same way (the 16-bit scaling, tables cut
// short, indices past the table and missing rows differ by design).
bool layoutsAgree(const uint8_t* data, size_t size) {
  if (size < 54) return false;
  const uint32_t infoSize = u32(data, size, 14);
  const uint32_t bits = u32(data, size, 28) & 0xFFFF;
  const uint32_t colorsUsed = u32(data, size, 46);
  const uint64_t offBits = u32(data, size, 10);
  if (!(infoSize == 40 || infoSize == 52 || infoSize == 56 || infoSize == 108 || infoSize == 124)) return false;
  if (u32(data, size, 30) != 0 || bits == 16) return false;
  const uint64_t headerEnd = 14 + uint64_t{infoSize};
  if (bits > 8) return offBits >= headerEnd && offBits < (uint64_t{1} << 31);
  const uint64_t full = uint64_t{1} << bits;
  // The whole table, read by both (the default reader ignores biClrUsed).
  return (colorsUsed == 0 || colorsUsed >= full) && offBits >= headerEnd + 4 * full && offBits < (uint64_t{1} << 31);
}

FUZZ_NO_COVERAGE int64_t firstRgbMismatch(const BitmapPixel* a, const BitmapPixel* b, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    if (a[i].blue != b[i].blue || a[i].green != b[i].green || a[i].red != b[i].red) return static_cast<int64_t>(i);
  }
  return -1;
}

FUZZ_NO_COVERAGE bool anyAlpha(const BitmapPixel* p, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    if (p[i].alpha != 0) return true;
  }
  return false;
}

// What a pixel reads back as after a save with alpha masks: itself, or opaque when every
// alpha of the picture is 0.
FUZZ_NO_COVERAGE BitmapPixel afterAlphaSave(BitmapPixel p, bool alphaUsed) {
  return alphaUsed ? p : BitmapPixel{p.blue, p.green, p.red, 255};
}

FUZZ_NO_COVERAGE int64_t firstRoundTripMismatch(const BitmapPixel* back, const BitmapPixel* source, size_t n,
                                                bool alphaUsed) {
  for (size_t i = 0; i < n; ++i) {
    if (!(back[i] == afterAlphaSave(source[i], alphaUsed))) return static_cast<int64_t>(i);
  }
  return -1;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Limits limits;
  limits.maxPixels = kMaxPixels;
  Limits extendedLimits = limits;
  extendedLimits.extended = true;
  const std::span<const uint8_t> bytes(data, size);

  Bitmap byDefault, extended;
  BmpStatus defaultStatus, extendedStatus;
  // The default reader's verdict from its header stages; its pixels only where they are
  // compared.
  const bool compare = layoutsAgree(data, size);
  bool defaultOk = false;
  if (compare) {
    defaultOk = byDefault.loadMemory(bytes, limits, &defaultStatus);
  } else {
    detail::MemorySource source(data, size);
    detail::BmpReader reader(source, limits);
    defaultOk = reader.readHeaders(defaultStatus) && reader.checkFormat(defaultStatus);
  }
  const bool extendedOk = extended.loadMemory(bytes, extendedLimits, &extendedStatus);
  FUZZ_CHECK(!defaultOk || extendedOk, "the default reader accepts a file the extended one refuses: " +
                                           to_string(extendedStatus));
  if (!defaultOk) {
    FUZZ_CHECK(defaultStatus.extendedReads == extendedOk,
               std::string("the 'read it with --extended' mark is ") + (defaultStatus.extendedReads ? "set" : "unset") +
                   " but the extended reader " + (extendedOk ? "reads" : "refuses") + " the file: " +
                   to_string(defaultStatus) + " / " + to_string(extendedStatus));
  }
  FUZZ_CHECK(extendedOk == extendedStatus.ok(), "result and status disagree: " + to_string(extendedStatus));
  // The fallback reads the first 40 bytes as the default reader would; that reader refuses a
  // header shorter than 40 bytes by its size alone, the one refusal the fallback passes over.
  FUZZ_CHECK(extendedStatus.defaultLayout == false || defaultOk || defaultStatus.cause == BmpCause::unsupportedHeader,
             "default layout for a file the default reader refuses: " + to_string(defaultStatus));

  // The header view never reads outside the bytes and names the file header's fields first.
  BmpHeaderView view;
  if (describeHeaders(bytes, view)) {
    FUZZ_CHECK(view.fields.size() >= 10 && view.fields[0].name == "bfType" && !view.kind.empty(), view.kind);
  }

  const Bitmap& b = extended;
  FUZZ_CHECK(extendedLimits.allows(b.width(), b.height()), describe(b));
  const int32_t depth = b.bitsPerPixel();
  const bool paletted = depth == 1 || depth == 4 || depth == 8;
  FUZZ_CHECK(paletted ? b.colorTable().size() == (size_t{1} << depth) : b.colorTable().empty(),
             "table size for " + describe(b));
  if (!extendedOk) return 0;

  const size_t n = static_cast<size_t>(b.width()) * static_cast<size_t>(b.height());
  if (defaultOk && compare && !defaultStatus.hasWarnings() && !extendedStatus.hasWarnings()) {
    FUZZ_CHECK(byDefault.width() == b.width() && byDefault.height() == b.height(), "sizes differ");
    const int64_t at = firstRgbMismatch(byDefault.data(), b.data(), n);
    FUZZ_CHECK(at < 0, "pixel " + std::to_string(at) + ": default " + pixelText(byDefault.data()[at]) +
                           ", extended " + pixelText(b.data()[at]));
  }

  // The image loader reads the same pixels, red first (checked for one input in four, chosen
  // by its bytes: the same decoder runs again, into other storage).
  if (fuzz::hashBytes(data, size) % 4 == 0) {
    ImageStatus imageStatus;
    const auto image = Image::loadMemory(bytes, extendedLimits, &imageStatus);
    FUZZ_CHECK(image && imageStatus == Cause::ok, to_string(imageStatus));
    FUZZ_CHECK(image->width() == b.width() && image->height() == b.height(), "image size");
    const int64_t imageAt = fuzz::firstImageMismatch(image->pixels(), b.data());
    FUZZ_CHECK(imageAt < 0, "image pixel " + std::to_string(imageAt));
  }

  // 32 bits with alpha masks and back: the same RGBA.
  std::vector<uint8_t> saved;
  if (b.bitsPerPixel() == 32) {
    FUZZ_CHECK(b.saveMemory(saved, SaveOptions{.alphaMasks = true}), "save with alpha masks failed for " + describe(b));
  } else {
    Bitmap copy(b);
    FUZZ_CHECK(copy.changeBitsPerPixel(32), describe(copy));
    FUZZ_CHECK(copy.saveMemory(saved, SaveOptions{.alphaMasks = true}), "save with alpha masks failed for " + describe(copy));
  }
  Bitmap back;
  BmpStatus backStatus;
  FUZZ_CHECK(back.loadMemory(saved, extendedLimits, &backStatus), to_string(backStatus));
  FUZZ_CHECK(!backStatus.hasWarnings() && back.width() == b.width() && back.height() == b.height() &&
                 back.bitsPerPixel() == 32,
             describe(back) + " read back from " + describe(b));
  const bool alphaUsed = anyAlpha(b.data(), n);
  const int64_t backAt = firstRoundTripMismatch(back.data(), b.data(), n, alphaUsed);
  FUZZ_CHECK(backAt < 0, "pixel " + std::to_string(backAt) + " read back as " + pixelText(back.data()[backAt]) +
                             " for " + pixelText(b.data()[backAt]));
  return 0;
}
