// The one list of the BMP header fields, and everything that reads the headers by field: the
// records of the 40-byte layout, their byte swaps, and the description of a file's first bytes.
#include "bmp/headers.hpp"

#include <algorithm>
#include <cstddef>
#include <cstring>

namespace bmpfun {

namespace detail {

namespace {

using F = FieldForm;

#define BMPFUN_SLOT(record, member) static_cast<uint8_t>(offsetof(record, member))

constexpr HeaderField kFile[] = {
    {"bfType", 0, 2, F::unsignedValue, BMPFUN_SLOT(BitmapFileHeader, bfType)},
    {"bfSize", 2, 4, F::unsignedValue, BMPFUN_SLOT(BitmapFileHeader, bfSize)},
    {"bfReserved1", 6, 2, F::unsignedValue, BMPFUN_SLOT(BitmapFileHeader, bfReserved1)},
    {"bfReserved2", 8, 2, F::unsignedValue, BMPFUN_SLOT(BitmapFileHeader, bfReserved2)},
    {"bfOffBits", 10, 4, F::unsignedValue, BMPFUN_SLOT(BitmapFileHeader, bfOffBits)},
};
constexpr HeaderField kOs2v1[] = {
    {"bcSize", 14, 4, F::unsignedValue}, {"bcWidth", 18, 2, F::unsignedValue},
    {"bcHeight", 20, 2, F::unsignedValue}, {"bcPlanes", 22, 2, F::unsignedValue},
    {"bcBitCount", 24, 2, F::unsignedValue},
};
constexpr HeaderField kWindows40[] = {
    {"biSize", 14, 4, F::unsignedValue, BMPFUN_SLOT(BitmapInfoHeader, biSize)},
    {"biWidth", 18, 4, F::signedValue, BMPFUN_SLOT(BitmapInfoHeader, biWidth)},
    {"biHeight", 22, 4, F::signedValue, BMPFUN_SLOT(BitmapInfoHeader, biHeight)},
    {"biPlanes", 26, 2, F::unsignedValue, BMPFUN_SLOT(BitmapInfoHeader, biPlanes)},
    {"biBitCount", 28, 2, F::unsignedValue, BMPFUN_SLOT(BitmapInfoHeader, biBitCount)},
    {"biCompression", 30, 4, F::compression, BMPFUN_SLOT(BitmapInfoHeader, biCompression)},
    {"biSizeImage", 34, 4, F::unsignedValue, BMPFUN_SLOT(BitmapInfoHeader, biSizeImage)},
    {"biXPelsPerMeter", 38, 4, F::signedValue, BMPFUN_SLOT(BitmapInfoHeader, biXPelsPerMeter)},
    {"biYPelsPerMeter", 42, 4, F::signedValue, BMPFUN_SLOT(BitmapInfoHeader, biYPelsPerMeter)},
    {"biClrUsed", 46, 4, F::unsignedValue, BMPFUN_SLOT(BitmapInfoHeader, biClrUsed)},
    {"biClrImportant", 50, 4, F::unsignedValue, BMPFUN_SLOT(BitmapInfoHeader, biClrImportant)},
};

#undef BMPFUN_SLOT

constexpr HeaderField kWindowsExtra[] = {
    {"biRedMask", 54, 4, F::hex}, {"biGreenMask", 58, 4, F::hex}, {"biBlueMask", 62, 4, F::hex},
    {"biAlphaMask", 66, 4, F::hex}, {"biCSType", 70, 4, F::colourSpace},
    {"biRedX", 74, 4, F::signedValue}, {"biRedY", 78, 4, F::signedValue}, {"biRedZ", 82, 4, F::signedValue},
    {"biGreenX", 86, 4, F::signedValue}, {"biGreenY", 90, 4, F::signedValue},
    {"biGreenZ", 94, 4, F::signedValue}, {"biBlueX", 98, 4, F::signedValue},
    {"biBlueY", 102, 4, F::signedValue}, {"biBlueZ", 106, 4, F::signedValue},
    {"biGammaRed", 110, 4, F::unsignedValue}, {"biGammaGreen", 114, 4, F::unsignedValue},
    {"biGammaBlue", 118, 4, F::unsignedValue}, {"biIntent", 122, 4, F::unsignedValue},
    {"biProfileData", 126, 4, F::unsignedValue}, {"biProfileSize", 130, 4, F::unsignedValue},
    {"biReserved", 134, 4, F::unsignedValue},
};
constexpr HeaderField kOs2v2Extra[] = {
    {"usUnits", 54, 2, F::unsignedValue}, {"usReserved", 56, 2, F::unsignedValue},
    {"usRecording", 58, 2, F::unsignedValue}, {"usRendering", 60, 2, F::unsignedValue},
    {"cSize1", 62, 4, F::unsignedValue}, {"cSize2", 66, 4, F::unsignedValue},
    {"ulColorEncoding", 70, 4, F::unsignedValue}, {"ulIdentifier", 74, 4, F::unsignedValue},
};
constexpr HeaderField kMasksAfter[] = {
    {"biRedMask", 0, 4, F::hex}, {"biGreenMask", 4, 4, F::hex},
    {"biBlueMask", 8, 4, F::hex}, {"biAlphaMask", 12, 4, F::hex},
};

constexpr HeaderFieldTable kTable{kFile, kOs2v1, kWindows40, kWindowsExtra, kOs2v2Extra, kMasksAfter};

// The fields the description reads, by their place in the table.
enum FileField : size_t { kOffBits = 4 };
enum Os2v1Field : size_t { kCoreWidth = 1, kCoreHeight = 2, kCoreBitCount = 4 };
enum InfoField : size_t {
  kSize = 0,
  kWidth = 1,
  kHeight = 2,
  kBitCount = 4,
  kCompression = 5,
  kXResolution = 7,
  kYResolution = 8,
  kColorsUsed = 9,
};

// The place of a field of the 40-byte layout in its record, as bytes.
uint8_t* placeOf(BmpHeaders& records, const HeaderField& field) {
  auto* record = field.at < kInfoHeaderAt ? reinterpret_cast<uint8_t*>(&records.file)
                                          : reinterpret_cast<uint8_t*>(&records.info);
  return record + field.slot;
}
const uint8_t* placeOf(const BmpHeaders& records, const HeaderField& field) {
  const auto* record = field.at < kInfoHeaderAt ? reinterpret_cast<const uint8_t*>(&records.file)
                                                : reinterpret_cast<const uint8_t*>(&records.info);
  return record + field.slot;
}

template <typename Record>
void reverseFields(Record& record, std::span<const HeaderField> fields) {
  auto* bytes = reinterpret_cast<uint8_t*>(&record);
  for (const HeaderField& field : fields) std::reverse(bytes + field.slot, bytes + field.slot + field.bytes);
}

}  // namespace

const HeaderFieldTable& headerFields() { return kTable; }

uint32_t fieldValue(std::span<const uint8_t> bytes, uint64_t at, size_t width) {
  uint32_t v = 0;
  for (size_t i = 0; i < width; ++i) {
    if (at + i < bytes.size()) v |= uint32_t{bytes[static_cast<size_t>(at + i)]} << (8 * i);
  }
  return v;
}

uint32_t recordValue(const BmpHeaders& records, const HeaderField& field) {
  const uint8_t* place = placeOf(records, field);
  if (field.bytes == 2) {
    uint16_t v = 0;
    std::memcpy(&v, place, sizeof v);
    return v;
  }
  uint32_t v = 0;
  std::memcpy(&v, place, sizeof v);
  return v;
}

BmpHeaders headerRecords(std::span<const uint8_t> bytes) {
  BmpHeaders records;
  for (const std::span<const HeaderField> part : {kTable.file, kTable.windows40}) {
    for (const HeaderField& field : part) {
      if (field.at >= bytes.size()) break;
      const size_t arrived = std::min<size_t>(field.bytes, bytes.size() - field.at);
      const uint32_t kept = arrived >= 4 ? 0 : ~uint32_t{0} << (8 * arrived);
      const uint32_t value = (recordValue(records, field) & kept) | fieldValue(bytes, field.at, arrived);
      uint8_t* place = placeOf(records, field);
      if (field.bytes == 2) {
        const auto narrow = static_cast<uint16_t>(value);
        std::memcpy(place, &narrow, sizeof narrow);
      } else {
        std::memcpy(place, &value, sizeof value);
      }
    }
  }
  records.bytes = std::min<uint64_t>(bytes.size(), kFortyEnd);
  return records;
}

HeaderDescription describeHead(std::span<const uint8_t> head, int readError) {
  HeaderDescription h;
  h.head = head;
  h.readError = readError;
  const size_t n = head.size();
  h.signatureAgrees = (n < 1 || head[0] == 'B') && (n < 2 || head[1] == 'M');
  const auto value = [&](const HeaderField& field) { return fieldValue(head, field.at, field.bytes); };
  h.offBits = value(kFile[kOffBits]);
  const HeaderField& sizeField = kWindows40[kSize];
  if (n >= sizeField.at + uint64_t{sizeField.bytes}) {
    h.infoSize = value(sizeField);
    h.kind = headerKindOf(h.infoSize);
  }
  const bool shortOs2v2 = h.kind == HeaderKind::os2v2 && h.infoSize < 40;
  if (h.kind == HeaderKind::os2v1) h.ownEnd = kInfoHeaderAt + 12;
  if (shortOs2v2) h.ownEnd = kInfoHeaderAt + h.infoSize;

  // The 40-byte reading, and the header's own: the same fields, but those past the end of a
  // short OS/2 2.x header read as 0.
  const auto read = [&](HeaderValues& v, uint64_t end) {
    const auto field = [&](size_t k) {
      const HeaderField& f = kWindows40[k];
      return f.at + uint64_t{f.bytes} <= end ? value(f) : 0u;
    };
    v.width = static_cast<int32_t>(field(kWidth));
    v.height = static_cast<int32_t>(field(kHeight));
    v.bits = field(kBitCount);
    v.compression = field(kCompression);
    v.xPixelsPerMeter = static_cast<int32_t>(field(kXResolution));
    v.yPixelsPerMeter = static_cast<int32_t>(field(kYResolution));
    v.colorsUsed = field(kColorsUsed);
  };
  read(h.forty, kFortyEnd);
  if (h.kind == HeaderKind::os2v1) {
    h.own.width = value(kOs2v1[kCoreWidth]);
    h.own.height = value(kOs2v1[kCoreHeight]);
    h.own.bits = value(kOs2v1[kCoreBitCount]);
  } else {
    read(h.own, shortOs2v2 ? h.ownEnd : kFortyEnd);
  }
  return h;
}

}  // namespace detail

// Each field's bytes in reverse order, the fields as the table places them.
void BitmapFileHeader::reverseByteOrder() { detail::reverseFields(*this, detail::kTable.file); }
void BitmapInfoHeader::reverseByteOrder() { detail::reverseFields(*this, detail::kTable.windows40); }

}  // namespace bmpfun
