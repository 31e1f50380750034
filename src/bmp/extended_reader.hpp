// The extended BMP reader, chosen by Limits::extended: every variant real files use (RLE8 and
// RLE4, top-down rows, 16- and 32-bit bit fields with or without alpha, 2-bit files, OS/2
// headers with 3- or 4-byte table entries, pixel data that ends early) in the same stages as
// the default reader, decoding into the same RowSink. See extended_reader.cpp for the rules.
#pragma once
#include <bmpfun/bmp.hpp>

#include "base/byte_source.hpp"
#include "bmp/reader.hpp"
#include "bmp/row_codec.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace bmpfun::detail {

// The first bytes of the file, kept so that the headers can be read under two sets of rules,
// and a forward-only position over them and the rest of the source.
class HeadedInput {
 public:
  // Enough for the file header, a V5 header and four masks after a 40-byte header.
  static constexpr size_t kHeadBytes = 14 + 124 + 16;

  explicit HeadedInput(ByteSource& source) : source_(source) {}
  // Reads up to kHeadBytes; returns how many arrived.
  size_t fillHead();
  std::span<const uint8_t> head() const { return {head_.data(), headSize_}; }
  // Little-endian fields of the head; bytes past its end read as 0.
  uint32_t u16(size_t at) const;
  uint32_t u32(size_t at) const;

  uint64_t position() const { return position_; }
  // Moves forward to offset (a position behind the current one stays where it is); false
  // when the file ends first.
  bool seek(uint64_t offset);
  // Up to count bytes from the position on; returns how many arrived.
  size_t read(uint8_t* out, size_t count);
  int error() const { return source_.error(); }

 private:
  ByteSource& source_;
  std::array<uint8_t, kHeadBytes> head_{};
  size_t headSize_ = 0;
  uint64_t position_ = 0;  // logical offset in the file
};

// Where and how the pixels of a file are stored, as the headers say.
struct PixelLayout {
  enum class Coding : uint8_t { rows, rle8, rle4 };
  int32_t width = 0;
  int32_t height = 0;  // rows, always positive
  bool topDown = false;
  uint16_t bits = 0;  // 1, 2, 4, 8, 16, 24 or 32
  Coding coding = Coding::rows;
  // 16 and 32 bits: red, green, blue, alpha masks (alpha 0: none, the pixels are opaque).
  std::array<uint32_t, 4> masks{};
  // 1 to 8 bits: the colour table (entries this layout reads; the rest are opaque black).
  uint64_t tableAt = 0;
  uint32_t entryBytes = 4;
  uint32_t tableEntries = 0;
  uint64_t dataAt = 0;  // the first byte of the pixel data
  int32_t xPixelsPerMeter = 0;
  int32_t yPixelsPerMeter = 0;
};

class ExtendedReader {
 public:
  ExtendedReader(ByteSource& source, const Limits& limits) : input_(source), limits_(limits) {}

  // The signature and the info header. False with notBmp, headerCut or readFailed.
  bool readHeaders(BmpStatus& status);
  // The variant, depth, size, masks and limit. False with the cause. A file whose headers
  // these rules refuse but whose first 40 bytes pass the default reader's checks is read the
  // way the default reader lays it out (status.defaultLayout), so that opting in never loses
  // a file.
  bool checkFormat(BmpStatus& status);

  int32_t width() const { return layout_.width; }
  int32_t height() const { return layout_.height; }
  // The depth a Bitmap holds after this read: the file's, except 2 bits -> 4 and 16 bits with
  // an alpha mask -> 32 (the depths the bitmap can write back without losing pixels).
  int32_t bitmapDepth() const;
  int32_t xPixelsPerMeter() const { return layout_.xPixelsPerMeter; }
  int32_t yPixelsPerMeter() const { return layout_.yPixelsPerMeter; }

  // The colour table: opaque entries from the file, opaque black for the rest. A table the
  // file's end cuts short is a warning in status.
  void readTable(BmpStatus& status);
  // Entry k of the table a Bitmap keeps: the colour with a zero fourth byte.
  BitmapPixel tableColor(size_t k) const;

  // Every row into sink, in file order: what the file draws, (0, 0, 0, 0) for what it does
  // not (a warning in status when the data ends early). False with readFailed.
  bool readRows(RowSink& sink, BmpStatus& status);

 private:
  bool extendedLayout(BmpStatus& status);
  bool defaultLayout(BmpStatus& status);
  bool readRowsUncompressed(RowSink& sink, BmpStatus& status);
  bool readRowsRle(RowSink& sink, BmpStatus& status);

  HeadedInput input_;
  const Limits& limits_;
  uint32_t infoSize_ = 0;
  PixelLayout layout_;
  Palette palette_{};
};

// After the default reader refused a file: whether the extended reader takes it. prefix holds
// the bytes the default reader consumed; rest continues right after them.
bool extendedReaderTakes(std::span<const uint8_t> prefix, ByteSource& rest, const Limits& limits);

}  // namespace bmpfun::detail
