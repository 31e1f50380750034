// Header inspection of files and bytes: the records of the 40-byte layout (readHeadersOf) and
// the fields of each header by name for display (describeHeaders), both from the one table of
// header fields (headers.cpp).
#include <bmpfun/bmp.hpp>

#include "base/byte_source.hpp"
#include "bmp/headers.hpp"

#include <algorithm>
#include <cinttypes>
#include <cstdio>

namespace bmpfun {

namespace {

using detail::FieldForm;
using detail::HeaderField;
using detail::HeaderKind;

// Up to limit bytes from the start of path, and the system's error of a read that ended them
// early. False with cannotOpen.
bool readStart(const std::string& path, size_t limit, std::vector<uint8_t>& bytes, int& error, Status& s) {
  detail::FileSource source(path);
  if (!source.isOpen()) {
    s.cause = Cause::cannotOpen;
    s.systemError = source.openError();
    return false;
  }
  bytes.resize(limit);
  bytes.resize(source.read(bytes.data(), limit));
  error = source.error();
  return true;
}

// The status of records read field by field: a read error, a file too short to hold the
// signature (none, or one byte "B", which keeps the constructed "BM": cut short, as the
// readers call it), or a first two bytes that are not "BM". Past the signature a short file
// is not refused: its fields show what it holds.
void checkRecords(const BmpHeaders& h, int error, Status& s) {
  if (error != 0) {
    s.cause = Cause::readFailed;
    s.systemError = error;
  } else if (h.bytes < 2 && h.file.bfType == 19778) {
    s.cause = Cause::headerCut;
    s.fileBytes = h.bytes;
    s.headerBytes = detail::kFortyEnd;
  } else if (h.file.bfType != 19778) {
    s.cause = Cause::notBmp;
    s.fileBytes = std::min<uint64_t>(h.bytes, 2);
  }
}

// The records of the first bytes of a file; a read error counts only where it cut them short.
BmpHeaders recordsOf(std::span<const uint8_t> bytes, int error, Status& s) {
  const BmpHeaders h = detail::headerRecords(bytes);
  checkRecords(h, bytes.size() < detail::kFortyEnd ? error : 0, s);
  return h;
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

std::string format(uint32_t v, FieldForm form, const Context& context) {
  char text[48];
  switch (form) {
    case FieldForm::unsignedValue: std::snprintf(text, sizeof text, "%" PRIu32, v); break;
    case FieldForm::signedValue: std::snprintf(text, sizeof text, "%" PRId32, static_cast<int32_t>(v)); break;
    case FieldForm::hex: std::snprintf(text, sizeof text, "0x%08" PRIx32, v); break;
    case FieldForm::colourSpace: {
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
    case FieldForm::compression:
      std::snprintf(text, sizeof text, "%" PRIu32 " (%s)", v, compressionName(v, context.os2v2, context.bits));
      break;
  }
  return text;
}

// Appends the fields that end within limit (an offset in the file), each at base + its place.
void addFields(BmpHeaderView& view, std::span<const uint8_t> bytes, std::span<const HeaderField> fields,
               uint64_t limit, const Context& context = {}, uint64_t base = 0) {
  for (const HeaderField& field : fields) {
    const uint64_t at = base + field.at;
    if (at + field.bytes > limit) break;
    view.fields.push_back({field.name, format(detail::fieldValue(bytes, at, field.bytes), field.form, context)});
  }
}

// The 16 fields of the records in decimal, the compression's number alone.
void addRecords(BmpHeaderView& view, const BmpHeaders& records) {
  const detail::HeaderFieldTable& table = detail::headerFields();
  for (const std::span<const HeaderField> part : {table.file, table.windows40}) {
    for (const HeaderField& field : part) {
      const FieldForm form = field.form == FieldForm::signedValue ? field.form : FieldForm::unsignedValue;
      view.fields.push_back({field.name, format(detail::recordValue(records, field), form, {})});
    }
  }
}

bool describeExtended(std::span<const uint8_t> bytes, BmpHeaderView& view, Status& s) {
  const auto cut = [&](uint64_t need) {
    s.cause = Cause::headerCut;
    s.fileBytes = bytes.size();
    s.headerBytes = need;
    return false;
  };
  if (bytes.size() < 2 || bytes[0] != 'B' || bytes[1] != 'M') {
    if (bytes.size() < 2 && (bytes.empty() || bytes[0] == 'B')) return cut(18);
    s.cause = Cause::notBmp;
    s.fileBytes = std::min<size_t>(bytes.size(), 2);
    return false;
  }
  if (bytes.size() < 18) return cut(18);
  const detail::HeaderDescription h =
      detail::describeHead(bytes.first(std::min(bytes.size(), detail::kHeadBytes)));
  const uint32_t size = h.infoSize;
  s.headerSize = size;
  const HeaderKind kind = h.kind;
  if (kind == HeaderKind::invalid) {
    s.cause = Cause::unsupportedHeader;
    return false;
  }
  // The header's own fields must be in the file; a longer unknown header shows its first 40.
  const uint64_t end = detail::kInfoHeaderAt + uint64_t{kind == HeaderKind::longer ? 40 : size};
  if (bytes.size() < end) return cut(end);
  const detail::HeaderFieldTable& table = detail::headerFields();
  view.kind = detail::headerKindName(size);
  addFields(view, bytes, table.file, end);
  if (kind == HeaderKind::os2v1) {
    addFields(view, bytes, table.os2v1, end);
    return true;
  }
  const Context context{kind == HeaderKind::os2v2, h.own.bits};
  addFields(view, bytes, table.windows40, end, context);
  if (kind == HeaderKind::os2v2) {
    addFields(view, bytes, table.os2v2Extra, end);
  } else if (kind != HeaderKind::windows40 && kind != HeaderKind::longer) {
    addFields(view, bytes, table.windowsExtra, end);
  }
  // Masks after the header (compression 3, and 6 with alpha), as far as the file holds them.
  const uint32_t compression = h.own.compression;
  const bool os2Compression = context.os2v2 && context.bits == 1;
  const bool fields = (compression == 3 && !os2Compression) || compression == 6;
  // An unknown longer header shows the masks it holds at 54 under the same names.
  if (fields && (!detail::masksInHeader(kind) || kind == HeaderKind::longer) && size >= 20) {
    const uint64_t at = kind == HeaderKind::longer ? detail::kFortyEnd : detail::kInfoHeaderAt + uint64_t{size};
    const size_t count = compression == 6 || kind == HeaderKind::longer ? 4 : 3;
    addFields(view, bytes, table.masksAfter, std::min<uint64_t>(bytes.size(), at + 4 * count), {}, at);
  }
  return true;
}

// Both readings of the first bytes of a file; error is the system's error of a read that
// ended them early.
bool describe(std::span<const uint8_t> bytes, int error, BmpHeaderView& view, Status& s, HeaderReading reading) {
  s = Status{};
  view = BmpHeaderView{};
  if (reading == HeaderReading::byDefault) {
    const BmpHeaders records = recordsOf(bytes, error, s);
    if (!s.ok()) return false;
    if (records.bytes < 18 || !detail::isShortOs2Header(records.info.biSize)) {
      addRecords(view, records);
      return true;
    }
  }
  if (error != 0) {
    s.cause = Cause::readFailed;
    s.systemError = error;
    return false;
  }
  return describeExtended(bytes, view, s);
}

}  // namespace

BmpHeaders readHeadersOf(const std::string& path, Status* status) {
  Status local;
  Status& s = status != nullptr ? *status : local;
  s = Status{};
  std::vector<uint8_t> bytes;
  int error = 0;
  if (!readStart(path, detail::kFortyEnd, bytes, error, s)) return {};
  return recordsOf(bytes, error, s);
}

BmpHeaders readHeadersOf(std::span<const uint8_t> bytes, Status* status) {
  Status local;
  Status& s = status != nullptr ? *status : local;
  s = Status{};
  return recordsOf(bytes, 0, s);
}

BitmapFileHeader readFileHeaderOf(const std::string& path, Status* status) {
  Status local;
  Status& s = status != nullptr ? *status : local;
  BitmapFileHeader h = readHeadersOf(path, &s).file;
  // How a caller that does not ask for the status recognises a file it could not open.
  if (s.cause == Cause::cannotOpen) h.bfType = 0;
  return h;
}

BitmapInfoHeader readInfoHeaderOf(const std::string& path, Status* status) {
  return readHeadersOf(path, status).info;
}

uint16_t fileBitsPerPixel(const std::string& path) { return readInfoHeaderOf(path).biBitCount; }

bool describeHeaders(std::span<const uint8_t> bytes, BmpHeaderView& view, Status* status, HeaderReading reading) {
  Status local;
  return describe(bytes, 0, view, status != nullptr ? *status : local, reading);
}

bool describeHeadersOf(const std::string& path, BmpHeaderView& view, Status* status, HeaderReading reading) {
  Status local;
  Status& s = status != nullptr ? *status : local;
  s = Status{};
  view = BmpHeaderView{};
  // The longest header (V5: 14 + 124 bytes) and the masks after a 64-byte OS/2 header fit in
  // the first bytes the readers keep.
  std::vector<uint8_t> bytes;
  int error = 0;
  if (!readStart(path, detail::kHeadBytes, bytes, error, s)) return false;
  return describe(bytes, error, view, s, reading);
}

bool pictureSizeOf(const std::string& path, int64_t& width, int64_t& height, Status* status) {
  Status local;
  Status& s = status != nullptr ? *status : local;
  s = Status{};
  width = height = 0;
  std::vector<uint8_t> bytes;
  int error = 0;
  if (!readStart(path, detail::kHeadBytes, bytes, error, s)) return false;
  const detail::HeaderDescription h = detail::describeHead(bytes, error);
  if (error != 0) {
    s.cause = Cause::readFailed;
    s.systemError = error;
    return false;
  }
  if (!h.signatureAgrees || bytes.size() < 2) {
    s.cause = bytes.size() < 2 ? Cause::headerCut : Cause::notBmp;
    return false;
  }
  if (bytes.size() < h.ownEnd) {
    s.cause = Cause::headerCut;
    s.fileBytes = bytes.size();
    s.headerBytes = h.ownEnd;
    return false;
  }
  width = h.own.width;
  height = h.own.height < 0 ? -h.own.height : h.own.height;
  return true;
}

}  // namespace bmpfun
