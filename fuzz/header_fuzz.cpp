// Header inspection and rescale target. Input: one mode byte, one value-form byte, four value
// bytes, then the file. The header readers of files and of bytes must give what the reference
// decoder reads (fread's rules on a short file); rescale must either succeed with a 24-bit
// grid of the asked size, or refuse and leave the grid alone.
#include <bmpfun/bmp.hpp>

#include "fuzz_support.hpp"
#include "support/reference_bmp.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <vector>

using namespace bmpfun;

namespace {

constexpr int64_t kMaxPixels = int64_t{1} << 16;

void checkHeaders(const std::string& path, std::span<const uint8_t> file) {
  const BmpHeaders want = reference::readHeaders(file);
  BmpStatus status;
  const BmpHeaders fromFile = readHeadersOf(path, &status);
  // A file that does not start with "BM" is refused, and so is one too short to hold the
  // signature (empty, or "B"), as cut short; their records are filled all the same.
  const BmpCause cause = want.file.bfType != 19778 ? BmpCause::notBmp
                         : want.bytes < 2          ? BmpCause::headerCut
                                                   : BmpCause::ok;
  FUZZ_CHECK(status.cause == cause, to_string(status));
  BmpStatus memoryStatus;
  const BmpHeaders fromMemory = readHeadersOf(file, &memoryStatus);
  FUZZ_CHECK(memoryStatus.cause == cause, to_string(memoryStatus));
  // The two records read on their own do not count the bytes; take the reference's count.
  const BmpHeaders separate{readFileHeaderOf(path), readInfoHeaderOf(path), want.bytes};
  for (const BmpHeaders& got : {fromFile, fromMemory, separate}) {
    const std::string difference = reference::difference(got, want);
    FUZZ_CHECK(difference.empty(), difference);
  }
  FUZZ_CHECK(fileBitsPerPixel(path) == want.info.biBitCount, "fileBitsPerPixel");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 6) return 0;
  // Mode: the byte itself when it is a letter, otherwise one of the eight letters.
  const uint8_t modeByte = data[0];
  static constexpr char kModes[] = {'P', 'W', 'H', 'F', 'p', 'w', 'h', 'f'};
  const char mode = (modeByte >= 0x20 && modeByte < 0x7F) ? static_cast<char>(modeByte)
                                                          : kModes[modeByte % 8];
  uint32_t raw = 0;
  std::memcpy(&raw, data + 2, 4);
  // Value form: small positive, small signed, or all 32 bits.
  int32_t value = 0;
  switch (data[1] % 4) {
    case 0: value = static_cast<int32_t>(raw % 1024); break;
    case 1: value = static_cast<int16_t>(raw); break;
    case 2: value = static_cast<int32_t>(raw % 400) - 100; break;
    default: value = static_cast<int32_t>(raw); break;
  }
  const uint8_t* file = data + 6;
  const size_t fileSize = size - 6;

  const std::string path = fuzz::scratchFile("header.bmp");
  FUZZ_CHECK(fuzz::writeFile(path, file, fileSize), "cannot write " + path);
  checkHeaders(path, {file, fileSize});

  Limits limits;
  limits.maxPixels = kMaxPixels;
  Bitmap bitmap;
  static_cast<void>(bitmap.loadMemory({file, fileSize}, limits));  // a refused file still leaves a bitmap
  const int32_t ow = bitmap.width(), oh = bitmap.height(), obits = bitmap.bitsPerPixel();
  const std::vector<BitmapPixel> before = reference::rasterOf(bitmap).pixels;
  const BitmapPixel corner = before.back();

  const bool ok = rescale(bitmap, mode, value, limits);
  FUZZ_CHECK(bitmap.xPixelsPerMeter() != 0 && bitmap.yPixelsPerMeter() != 0, "unset resolution kept");
  char upper = mode >= 'a' && mode <= 'z' ? static_cast<char>(mode - 'a' + 'A') : mode;
  if (upper == 'F') upper = ow > oh ? 'W' : 'H';
  const bool known = upper == 'P' || upper == 'W' || upper == 'H';
  if (!ok) {
    FUZZ_CHECK(bitmap.width() == ow && bitmap.height() == oh && bitmap.bitsPerPixel() == obits &&
                   reference::rasterOf(bitmap).pixels == before,
               "a refused rescale changed the bitmap");
    // A known mode is refused only for a side that does not fit int32 or a size past the limit.
    if (known && upper != 'P') {
      const int64_t side = value < 1 ? 1 : value;
      const double other = upper == 'W' ? std::floor(static_cast<double>(value) / ow * oh)
                                        : std::floor(static_cast<double>(value) / oh * ow);
      FUZZ_CHECK(!(other >= -2147483648.0 && other < 2147483648.0) || static_cast<double>(side) * std::max(1.0, other) > static_cast<double>(kMaxPixels),
                 "rescale refused a size within the limit");
    }
    return 0;
  }
  FUZZ_CHECK(known, std::string("unknown mode accepted: ") + mode);
  FUZZ_CHECK(bitmap.bitsPerPixel() == 24 && bitmap.colorTable().empty(), "rescale result depth");
  FUZZ_CHECK(limits.allows(bitmap.width(), bitmap.height()), "rescale result past the limit");
  if (upper == 'W') FUZZ_CHECK(bitmap.width() == std::max(value, 1), "W width");
  if (upper == 'H') FUZZ_CHECK(bitmap.height() == std::max(value, 1), "H height");
  if (upper == 'P' && value == 100) {
    FUZZ_CHECK(bitmap.width() == ow && bitmap.height() == oh, "P 100 keeps the size");
  }
  FUZZ_CHECK(reference::rasterOf(bitmap).pixels.back() == corner, "corner pixel");

  // The result is an ordinary bitmap: it saves and reads back whole.
  const std::string out = fuzz::scratchFile("rescaled.bmp");
  FUZZ_CHECK(bitmap.saveFile(out), "save of the rescaled bitmap");
  Bitmap back;
  FUZZ_CHECK(back.loadFile(out, limits) && back.width() == bitmap.width() && back.height() == bitmap.height(),
             "rescaled file reads back");
  return 0;
}
