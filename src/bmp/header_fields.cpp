// Header inspection of files and bytes, and pixel copies between bitmaps.
#include <bmpfun/bmp.hpp>

#include "base/byte_source.hpp"
#include "bmp/info_header.hpp"

#include <algorithm>
#include <cinttypes>
#include <cstdio>

namespace bmpfun {

namespace {

// Both records in file order, each field read on its own (see readField).
BmpHeaders readHeaders(detail::ByteSource& source) {
  BmpHeaders h;
  detail::readField(h.file.bfType, source);
  detail::readField(h.file.bfSize, source);
  detail::readField(h.file.bfReserved1, source);
  detail::readField(h.file.bfReserved2, source);
  detail::readField(h.file.bfOffBits, source);
  BitmapInfoHeader& i = h.info;
  detail::readField(i.biSize, source);
  detail::readField(i.biWidth, source);
  detail::readField(i.biHeight, source);
  detail::readField(i.biPlanes, source);
  detail::readField(i.biBitCount, source);
  detail::readField(i.biCompression, source);
  detail::readField(i.biSizeImage, source);
  detail::readField(i.biXPelsPerMeter, source);
  detail::readField(i.biYPelsPerMeter, source);
  detail::readField(i.biClrUsed, source);
  detail::readField(i.biClrImportant, source);
  h.bytes = source.offset();
  return h;
}

}  // namespace

namespace {

// The status of headers read from source: a read error, a file too short to hold the
// signature (none, or one byte "B", which keeps the constructed "BM": cut short, as the
// readers call it), or a first two bytes that are not "BM". Past the signature a short file
// is not refused: its fields show what it holds.
void checkHeaders(const BmpHeaders& h, const detail::ByteSource& source, BmpStatus& s) {
  if (source.error() != 0) {
    s.cause = BmpCause::readFailed;
    s.systemError = source.error();
  } else if (h.bytes < 2 && h.file.bfType == 19778) {
    s.cause = BmpCause::headerCut;
    s.fileBytes = h.bytes;
    s.headerBytes = 54;
  } else if (h.file.bfType != 19778) {
    s.cause = BmpCause::notBmp;
    s.fileBytes = std::min<uint64_t>(h.bytes, 2);
  }
}

}  // namespace

BmpHeaders readHeadersOf(const std::string& path, BmpStatus* status) {
  BmpStatus local;
  BmpStatus& s = status != nullptr ? *status : local;
  s = BmpStatus{};
  detail::FileSource source(path);
  if (!source.isOpen()) {
    s.cause = BmpCause::cannotOpen;
    s.systemError = source.openError();
    return {};
  }
  BmpHeaders h = readHeaders(source);
  checkHeaders(h, source, s);
  return h;
}

BmpHeaders readHeadersOf(std::span<const uint8_t> bytes, BmpStatus* status) {
  BmpStatus local;
  BmpStatus& s = status != nullptr ? *status : local;
  s = BmpStatus{};
  detail::MemorySource source(bytes.data(), bytes.size());
  BmpHeaders h = readHeaders(source);
  checkHeaders(h, source, s);
  return h;
}

BitmapFileHeader readFileHeaderOf(const std::string& path, BmpStatus* status) {
  BmpStatus local;
  BmpStatus& s = status != nullptr ? *status : local;
  BitmapFileHeader h = readHeadersOf(path, &s).file;
  // How a caller that does not ask for the status recognises a file it could not open.
  if (s.cause == BmpCause::cannotOpen) h.bfType = 0;
  return h;
}

BitmapInfoHeader readInfoHeaderOf(const std::string& path, BmpStatus* status) {
  return readHeadersOf(path, status).info;
}

uint16_t fileBitsPerPixel(const std::string& path) { return readInfoHeaderOf(path).biBitCount; }

namespace {

// One field for display: where it lies in the file, its size and how to print it.
enum class Form : uint8_t { unsignedValue, signedValue, hex, colourSpace, compression };
struct FieldLayout {
  const char* name;
  uint32_t at;
  uint8_t bytes;
  Form form;
};

constexpr FieldLayout kFileFields[] = {
    {"bfType", 0, 2, Form::unsignedValue}, {"bfSize", 2, 4, Form::unsignedValue},
    {"bfReserved1", 6, 2, Form::unsignedValue}, {"bfReserved2", 8, 2, Form::unsignedValue},
    {"bfOffBits", 10, 4, Form::unsignedValue},
};
constexpr FieldLayout kCoreFields[] = {
    {"bcSize", 14, 4, Form::unsignedValue}, {"bcWidth", 18, 2, Form::unsignedValue},
    {"bcHeight", 20, 2, Form::unsignedValue}, {"bcPlanes", 22, 2, Form::unsignedValue},
    {"bcBitCount", 24, 2, Form::unsignedValue},
};
// The Windows header's 40 bytes, then what the longer Windows headers add.
constexpr FieldLayout kInfoFields[] = {
    {"biSize", 14, 4, Form::unsignedValue}, {"biWidth", 18, 4, Form::signedValue},
    {"biHeight", 22, 4, Form::signedValue}, {"biPlanes", 26, 2, Form::unsignedValue},
    {"biBitCount", 28, 2, Form::unsignedValue}, {"biCompression", 30, 4, Form::compression},
    {"biSizeImage", 34, 4, Form::unsignedValue}, {"biXPelsPerMeter", 38, 4, Form::signedValue},
    {"biYPelsPerMeter", 42, 4, Form::signedValue}, {"biClrUsed", 46, 4, Form::unsignedValue},
    {"biClrImportant", 50, 4, Form::unsignedValue},
};
constexpr FieldLayout kWindowsExtra[] = {
    {"biRedMask", 54, 4, Form::hex}, {"biGreenMask", 58, 4, Form::hex}, {"biBlueMask", 62, 4, Form::hex},
    {"biAlphaMask", 66, 4, Form::hex}, {"biCSType", 70, 4, Form::colourSpace},
    {"biRedX", 74, 4, Form::signedValue}, {"biRedY", 78, 4, Form::signedValue}, {"biRedZ", 82, 4, Form::signedValue},
    {"biGreenX", 86, 4, Form::signedValue}, {"biGreenY", 90, 4, Form::signedValue},
    {"biGreenZ", 94, 4, Form::signedValue}, {"biBlueX", 98, 4, Form::signedValue},
    {"biBlueY", 102, 4, Form::signedValue}, {"biBlueZ", 106, 4, Form::signedValue},
    {"biGammaRed", 110, 4, Form::unsignedValue}, {"biGammaGreen", 114, 4, Form::unsignedValue},
    {"biGammaBlue", 118, 4, Form::unsignedValue}, {"biIntent", 122, 4, Form::unsignedValue},
    {"biProfileData", 126, 4, Form::unsignedValue}, {"biProfileSize", 130, 4, Form::unsignedValue},
    {"biReserved", 134, 4, Form::unsignedValue},
};
// What the 64-byte OS/2 2.x header adds to the first 40 bytes.
constexpr FieldLayout kOs2Extra[] = {
    {"usUnits", 54, 2, Form::unsignedValue}, {"usReserved", 56, 2, Form::unsignedValue},
    {"usRecording", 58, 2, Form::unsignedValue}, {"usRendering", 60, 2, Form::unsignedValue},
    {"cSize1", 62, 4, Form::unsignedValue}, {"cSize2", 66, 4, Form::unsignedValue},
    {"ulColorEncoding", 70, 4, Form::unsignedValue}, {"ulIdentifier", 74, 4, Form::unsignedValue},
};
// The masks after a header hold what biRedMask... hold inside the longer ones, under the
// same names.
constexpr FieldLayout kMasksAfter[] = {
    {"biRedMask", 0, 4, Form::hex}, {"biGreenMask", 4, 4, Form::hex},
    {"biBlueMask", 8, 4, Form::hex}, {"biAlphaMask", 12, 4, Form::hex},
};

uint32_t valueAt(std::span<const uint8_t> bytes, size_t at, size_t size) {
  uint32_t v = 0;
  for (size_t i = 0; i < size; ++i) v |= uint32_t{bytes[at + i]} << (8 * i);
  return v;
}

// The name of a compression value. OS/2 2.x headers use 3 at 1 bit for Huffman 1D and 4 at
// 24 bits for RLE24 where Windows headers have bit fields and embedded JPEG.
const char* compressionName(uint32_t v, bool os2v2, uint32_t bits) {
  switch (v) {
    case 0: return "BI_RGB";
    case 1: return "BI_RLE8";
    case 2: return "BI_RLE4";
    case 3: return os2v2 && bits == 1 ? "Huffman 1D" : "BI_BITFIELDS";
    case 4: return os2v2 && bits == 24 ? "RLE24" : "BI_JPEG";
    case 5: return "BI_PNG";
    case 6: return "BI_ALPHABITFIELDS";
    case 11: return "BI_CMYK";
    case 12: return "BI_CMYKRLE8";
    case 13: return "BI_CMYKRLE4";
    default: return "unknown";
  }
}

// What a field's text depends on besides its own value: the header's kind and depth.
struct Context {
  bool os2v2 = false;
  uint32_t bits = 0;
};

std::string format(uint32_t v, const FieldLayout& field, const Context& context) {
  char text[48];
  switch (field.form) {
    case Form::unsignedValue: std::snprintf(text, sizeof text, "%" PRIu32, v); break;
    case Form::signedValue: std::snprintf(text, sizeof text, "%" PRId32, static_cast<int32_t>(v)); break;
    case Form::hex: std::snprintf(text, sizeof text, "0x%08" PRIx32, v); break;
    case Form::colourSpace: {
      // 0 is calibrated RGB (the end points and gamma apply); the others are four letters.
      const char* name = v == 0             ? "calibrated RGB"
                         : v == 0x73524742u ? "sRGB"
                         : v == 0x57696E20u ? "Windows default"
                         : v == 0x4C494E4Bu ? "linked profile"
                         : v == 0x4D424544u ? "embedded profile"
                                            : "unknown";
      std::snprintf(text, sizeof text, "0x%08" PRIx32 " (%s)", v, name);
      break;
    }
    case Form::compression:
      std::snprintf(text, sizeof text, "%" PRIu32 " (%s)", v, compressionName(v, context.os2v2, context.bits));
      break;
  }
  return text;
}

// Appends the fields that end within limit (an offset in the file), each at base + its place.
template <size_t N>
void addFields(BmpHeaderView& view, std::span<const uint8_t> bytes, const FieldLayout (&fields)[N], uint64_t limit,
               const Context& context = {}, uint64_t base = 0) {
  for (const FieldLayout& field : fields) {
    const uint64_t at = base + field.at;
    if (at + field.bytes > limit) break;
    view.fields.push_back({field.name, format(valueAt(bytes, static_cast<size_t>(at), field.bytes), field, context)});
  }
}

}  // namespace

bool describeHeaders(std::span<const uint8_t> bytes, BmpHeaderView& view, BmpStatus* status) {
  BmpStatus local;
  BmpStatus& s = status != nullptr ? *status : local;
  s = BmpStatus{};
  view = BmpHeaderView{};
  const auto cut = [&](uint64_t need) {
    s.cause = BmpCause::headerCut;
    s.fileBytes = bytes.size();
    s.headerBytes = need;
    return false;
  };
  if (bytes.size() < 2 || bytes[0] != 'B' || bytes[1] != 'M') {
    if (bytes.size() < 2 && (bytes.empty() || bytes[0] == 'B')) return cut(18);
    s.cause = BmpCause::notBmp;
    s.fileBytes = std::min<size_t>(bytes.size(), 2);
    return false;
  }
  if (bytes.size() < 18) return cut(18);
  const uint32_t size = valueAt(bytes, 14, 4);
  s.headerSize = size;
  const detail::HeaderKind kind = detail::headerKindOf(size);
  if (kind == detail::HeaderKind::invalid) {
    s.cause = BmpCause::unsupportedHeader;
    return false;
  }
  // The header's own fields must be in the file; a longer unknown header shows its first 40.
  const uint64_t end = 14 + uint64_t{kind == detail::HeaderKind::longer ? 40 : size};
  if (bytes.size() < end) return cut(end);
  view.kind = detail::headerKindName(size);
  addFields(view, bytes, kFileFields, end);
  if (kind == detail::HeaderKind::os2v1) {
    addFields(view, bytes, kCoreFields, end);
    return true;
  }
  // A field past the end of a short OS/2 2.x header reads as 0 (it may lie past the file's).
  const auto field = [&](size_t at, size_t count) { return at + count <= end ? valueAt(bytes, at, count) : 0u; };
  const uint32_t compression = field(30, 4);
  const Context context{kind == detail::HeaderKind::os2v2, field(28, 2)};
  addFields(view, bytes, kInfoFields, end, context);
  if (kind == detail::HeaderKind::os2v2) {
    addFields(view, bytes, kOs2Extra, end);
  } else if (kind != detail::HeaderKind::windows40 && kind != detail::HeaderKind::longer) {
    addFields(view, bytes, kWindowsExtra, end);
  }
  // Masks after the header (compression 3, and 6 with alpha), as far as the file holds them.
  const bool os2Compression = context.os2v2 && context.bits == 1;
  const bool fields = (compression == 3 && !os2Compression) || compression == 6;
  // An unknown longer header shows the masks it holds at 54 under the same names.
  if (fields && (!detail::masksInHeader(kind) || kind == detail::HeaderKind::longer) && size >= 20) {
    const uint64_t at = kind == detail::HeaderKind::longer ? 54 : 14 + uint64_t{size};
    const size_t count = compression == 6 || kind == detail::HeaderKind::longer ? 4 : 3;
    addFields(view, bytes, kMasksAfter, std::min<uint64_t>(bytes.size(), at + 4 * count), {}, at);
  }
  return true;
}

bool describeHeadersOf(const std::string& path, BmpHeaderView& view, BmpStatus* status) {
  BmpStatus local;
  BmpStatus& s = status != nullptr ? *status : local;
  s = BmpStatus{};
  detail::FileSource source(path);
  if (!source.isOpen()) {
    s.cause = BmpCause::cannotOpen;
    s.systemError = source.openError();
    return false;
  }
  // The longest header (V5: 14 + 124 bytes) and the masks after a 64-byte OS/2 header fit in
  // the first 160 bytes.
  std::vector<uint8_t> bytes(160);
  bytes.resize(source.read(bytes.data(), bytes.size()));
  if (source.error() != 0) {
    s.cause = BmpCause::readFailed;
    s.systemError = source.error();
    return false;
  }
  return describeHeaders(bytes, view, &s);
}

void copyPixel(const Bitmap& from, int32_t fromX, int32_t fromY, Bitmap& to, int32_t toX, int32_t toY) {
  to.pixelRef(toX, toY) = from.pixel(fromX, fromY);
}

void copyPixelExcept(const Bitmap& from, int32_t fromX, int32_t fromY, Bitmap& to, int32_t toX,
                     int32_t toY, BitmapPixel transparent) {
  const BitmapPixel p = from.pixel(fromX, fromY);
  // Alpha takes no part in the comparison.
  if (p.red == transparent.red && p.green == transparent.green && p.blue == transparent.blue) return;
  to.pixelRef(toX, toY) = p;
}

namespace {

// Target coordinates far outside int32 clamp to the same edge pixel as int32's extremes.
int32_t narrow(int64_t v) {
  return static_cast<int32_t>(std::clamp<int64_t>(v, INT32_MIN, INT32_MAX));
}

template <typename Copy>
void copyRectWith(const Bitmap& from, int32_t left, int32_t right, int32_t rowA, int32_t rowB, Bitmap& to,
                  int32_t toX, int32_t toY, Copy copy) {
  // Row bounds may come in either order; column bounds may not (left > right copies nothing).
  int64_t l = left, r = right;
  int64_t top = std::min(rowA, rowB), bottom = std::max(rowA, rowB);
  if (r >= from.width()) r = from.width() - 1;
  if (l < 0) l = 0;
  if (bottom >= from.height()) bottom = from.height() - 1;
  if (top < 0) top = 0;
  // Clip to the target's right and bottom edges only; a negative toX or toY is left to the
  // target's clamping, which piles those pixels onto its first column or row.
  if (r - l + toX >= to.width()) r = l + to.width() - 1 - toX;
  if (bottom - top + toY >= to.height()) bottom = top + to.height() - 1 - toY;
  for (int64_t y = top; y <= bottom; ++y) {
    for (int64_t x = l; x <= r; ++x) {
      copy(static_cast<int32_t>(x), static_cast<int32_t>(y), narrow(toX + x - l), narrow(toY + y - top));
    }
  }
}

}  // namespace

void copyRect(const Bitmap& from, int32_t left, int32_t right, int32_t rowA, int32_t rowB, Bitmap& to,
              int32_t toX, int32_t toY) {
  copyRectWith(from, left, right, rowA, rowB, to, toX, toY,
               [&](int32_t fx, int32_t fy, int32_t tx, int32_t ty) { copyPixel(from, fx, fy, to, tx, ty); });
}

void copyRectExcept(const Bitmap& from, int32_t left, int32_t right, int32_t rowA, int32_t rowB,
                    Bitmap& to, int32_t toX, int32_t toY, BitmapPixel transparent) {
  copyRectWith(from, left, right, rowA, rowB, to, toX, toY, [&](int32_t fx, int32_t fy, int32_t tx, int32_t ty) {
    copyPixelExcept(from, fx, fy, to, tx, ty, transparent);
  });
}

}  // namespace bmpfun
