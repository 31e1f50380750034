// The BMP headers, parsed once. The table of header fields (name, place, width, how a value
// prints) that every face lists them from; the two records of the 40-byte layout as a reader
// that reads field by field sees them; and the description of the first bytes of a file that
// both readers' policies (policies.hpp) and header inspection decide on.
#pragma once
#include <bmpfun/bmp.hpp>

#include "bmp/info_header.hpp"

#include <cstddef>
#include <cstdint>
#include <span>

namespace bmpfun::detail {

// Where the parts of the headers start: the info header after the 14-byte file header, and
// what follows the 40-byte layout (the masks inside a longer header, or the table).
constexpr uint64_t kInfoHeaderAt = 14;
constexpr uint64_t kFortyEnd = 54;
// The first bytes of a file that hold every header field: the file header, a V5 header, and
// four masks after a 40-byte header (or after a 64-byte OS/2 header, which end sooner).
constexpr size_t kHeadBytes = 14 + 124 + 16;

// How a field's value prints: in decimal, in hexadecimal (masks), or in hexadecimal or
// decimal followed by a name (colour-space tags, compressions).
enum class FieldForm : uint8_t { unsignedValue, signedValue, hex, colourSpace, compression };

// One header field: its name, where it lies in the file, its width (little-endian) and form.
// The 16 fields of the 40-byte layout also have their place (offsetof) in BitmapFileHeader
// (file header) or BitmapInfoHeader (info header).
struct HeaderField {
  static constexpr uint8_t kNoSlot = 0xFF;
  const char* name;
  uint16_t at;  // offset in the file; the masks after a header count from its end
  uint8_t bytes;
  FieldForm form;
  uint8_t slot = kNoSlot;
};

// The table, by part, each part in file order.
struct HeaderFieldTable {
  std::span<const HeaderField> file;          // the file header's 5
  std::span<const HeaderField> os2v1;         // the 12-byte OS/2 1.x header's 5
  std::span<const HeaderField> windows40;     // the 40-byte header's 11 (every other header's first 40 bytes)
  std::span<const HeaderField> windowsExtra;  // what the 52, 56, 108 and 124-byte headers add, in order
  std::span<const HeaderField> os2v2Extra;    // what the 64-byte OS/2 2.x header adds
  std::span<const HeaderField> masksAfter;    // the masks after a header, under the names they have inside one
};
const HeaderFieldTable& headerFields();

// The little-endian value of `width` bytes at `at`; bytes past the end of bytes read as 0.
uint32_t fieldValue(std::span<const uint8_t> bytes, uint64_t at, size_t width);

// The two records as a reader that reads them field by field sees bytes: a field the bytes do
// not reach keeps its construction value, one they cover in part takes the bytes that arrived
// as its low-order bytes. records.bytes counts the bytes they held (at most 54).
BmpHeaders headerRecords(std::span<const uint8_t> bytes);
// The value of a field of the 40-byte layout in the records, zero-extended.
uint32_t recordValue(const BmpHeaders& records, const HeaderField& field);

// What one reading of the info header says about the pixels.
struct HeaderValues {
  int64_t width = 0;  // 16-bit unsigned in an OS/2 1.x header, 32-bit signed in the others
  int64_t height = 0;
  uint32_t bits = 0;
  uint32_t compression = 0;
  uint32_t colorsUsed = 0;
  int32_t xPixelsPerMeter = 0;
  int32_t yPixelsPerMeter = 0;
};

// The first bytes of a file and what its headers say.
struct HeaderDescription {
  std::span<const uint8_t> head;  // the bytes as they arrived (all of a shorter file)
  int readError = 0;              // the system's error that ended them early; 0: none
  bool signatureAgrees = true;    // what arrived of the first two bytes agrees with "BM"
  uint32_t infoSize = 0;          // the info header's size field; 0 when the bytes end before it is whole
  HeaderKind kind = HeaderKind::invalid;
  uint32_t offBits = 0;           // bfOffBits (0 when the bytes end before it)
  // The bytes the header's own fields need: 26 for OS/2 1.x, 14 + size for an OS/2 2.x header
  // shorter than 40 bytes, 54 otherwise (a longer header's fields past its first 40 bytes
  // never change a pixel).
  uint64_t ownEnd = kFortyEnd;
  // The info header's first 40 bytes read as the Windows header, whatever its size (the
  // default reader's reading; 0 past the bytes).
  HeaderValues forty;
  // The fields the header really has; those it lacks (past the end of a short OS/2 2.x
  // header, or missing from an OS/2 1.x one) are 0.
  HeaderValues own;

  uint32_t u16(uint64_t at) const { return fieldValue(head, at, 2); }
  uint32_t u32(uint64_t at) const { return fieldValue(head, at, 4); }
};
HeaderDescription describeHead(std::span<const uint8_t> head, int readError = 0);

}  // namespace bmpfun::detail
