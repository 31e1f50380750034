// Header inspection and rescale target. Input: one mode byte, one value-form byte, four value
// bytes, then the file. The header readers are checked against a field-by-field model of a
// short read; rescale must either succeed with a 24-bit grid of the asked size, or refuse and
// leave the grid alone.
#include <bmpfun/bmp.hpp>

#include "bmp/reader.hpp"
#include "fuzz_support.hpp"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>

using namespace bmpfun;

namespace {

constexpr int64_t kMaxPixels = int64_t{1} << 16;

// A field of `width` bytes at `offset` read from a file of `size` bytes with fread's rules:
// the bytes that arrive replace the low-order bytes of the initial value. A field that starts
// after a short read, or at the very end, is not touched.
uint32_t modelField(const uint8_t* file, size_t size, size_t offset, size_t width, uint32_t initial) {
  if (offset >= size) return initial;
  uint32_t v = initial;
  const size_t arrived = std::min(width, size - offset);
  for (size_t i = 0; i < arrived; ++i) {
    v &= ~(uint32_t{0xFF} << (8 * i));
    v |= uint32_t{file[offset + i]} << (8 * i);
  }
  return v;
}

void checkHeaders(const std::string& path, const uint8_t* file, size_t size) {
  const BitmapFileHeader fh = readFileHeaderOf(path);
  const BitmapFileHeader f0;
  FUZZ_CHECK(fh.bfType == modelField(file, size, 0, 2, f0.bfType), "bfType");
  FUZZ_CHECK(fh.bfSize == modelField(file, size, 2, 4, f0.bfSize), "bfSize");
  FUZZ_CHECK(fh.bfReserved1 == modelField(file, size, 6, 2, f0.bfReserved1), "bfReserved1");
  FUZZ_CHECK(fh.bfReserved2 == modelField(file, size, 8, 2, f0.bfReserved2), "bfReserved2");
  FUZZ_CHECK(fh.bfOffBits == modelField(file, size, 10, 4, f0.bfOffBits), "bfOffBits");

  const BitmapInfoHeader ih = readInfoHeaderOf(path);
  const BitmapInfoHeader i0;
  auto u = [](int32_t v) { return static_cast<uint32_t>(v); };
  FUZZ_CHECK(ih.biSize == modelField(file, size, 14, 4, i0.biSize), "biSize");
  FUZZ_CHECK(u(ih.biWidth) == modelField(file, size, 18, 4, u(i0.biWidth)), "biWidth");
  FUZZ_CHECK(u(ih.biHeight) == modelField(file, size, 22, 4, u(i0.biHeight)), "biHeight");
  FUZZ_CHECK(ih.biPlanes == modelField(file, size, 26, 2, i0.biPlanes), "biPlanes");
  FUZZ_CHECK(ih.biBitCount == modelField(file, size, 28, 2, i0.biBitCount), "biBitCount");
  FUZZ_CHECK(ih.biCompression == modelField(file, size, 30, 4, i0.biCompression), "biCompression");
  FUZZ_CHECK(ih.biSizeImage == modelField(file, size, 34, 4, i0.biSizeImage), "biSizeImage");
  FUZZ_CHECK(u(ih.biXPelsPerMeter) == modelField(file, size, 38, 4, u(i0.biXPelsPerMeter)), "biX");
  FUZZ_CHECK(u(ih.biYPelsPerMeter) == modelField(file, size, 42, 4, u(i0.biYPelsPerMeter)), "biY");
  FUZZ_CHECK(ih.biClrUsed == modelField(file, size, 46, 4, i0.biClrUsed), "biClrUsed");
  FUZZ_CHECK(ih.biClrImportant == modelField(file, size, 50, 4, i0.biClrImportant), "biClrImportant");
  FUZZ_CHECK(fileBitsPerPixel(path) == ih.biBitCount, "fileBitsPerPixel");
}

std::vector<BitmapPixel> gridOf(const Bitmap& b) {
  return {b.data(), b.data() + static_cast<size_t>(b.width()) * static_cast<size_t>(b.height())};
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
  checkHeaders(path, file, fileSize);

  Limits limits;
  limits.maxPixels = kMaxPixels;
  Bitmap bitmap;
  bitmap.loadMemory({file, fileSize}, limits);  // a refused file still leaves a bitmap
  const int32_t ow = bitmap.width(), oh = bitmap.height(), obits = bitmap.bitsPerPixel();
  const std::vector<BitmapPixel> before = gridOf(bitmap);
  const BitmapPixel corner = before.back();

  const bool ok = rescale(bitmap, mode, value, limits);
  FUZZ_CHECK(bitmap.xPixelsPerMeter() != 0 && bitmap.yPixelsPerMeter() != 0, "unset resolution kept");
  char upper = mode >= 'a' && mode <= 'z' ? static_cast<char>(mode - 'a' + 'A') : mode;
  if (upper == 'F') upper = ow > oh ? 'W' : 'H';
  const bool known = upper == 'P' || upper == 'W' || upper == 'H';
  if (!ok) {
    FUZZ_CHECK(bitmap.width() == ow && bitmap.height() == oh && bitmap.bitsPerPixel() == obits &&
                   gridOf(bitmap) == before,
               "a refused rescale changed the bitmap");
    // A known mode is refused only for a side that does not fit int32 or a size past the limit.
    if (known && upper != 'P') {
      const int64_t side = value < 1 ? 1 : value;
      const double other = upper == 'W' ? std::floor(static_cast<double>(value) / ow * oh)
                                        : std::floor(static_cast<double>(value) / oh * ow);
      FUZZ_CHECK(!(other >= -2147483648.0 && other < 2147483648.0) || side * std::max(1.0, other) > static_cast<double>(kMaxPixels),
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
  FUZZ_CHECK(gridOf(bitmap).back() == corner, "corner pixel");

  // The result is an ordinary bitmap: it saves and reads back whole.
  const std::string out = fuzz::scratchFile("rescaled.bmp");
  FUZZ_CHECK(bitmap.saveFile(out), "save of the rescaled bitmap");
  Bitmap back;
  FUZZ_CHECK(back.loadFile(out, limits) && back.width() == bitmap.width() && back.height() == bitmap.height(),
             "rescaled file reads back");
  return 0;
}
