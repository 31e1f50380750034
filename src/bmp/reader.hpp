// The default BMP reader, in stages, so that each caller decodes into its own storage: the
// Bitmap into its grid, the Image straight into its RGBA pixels (no second grid).
#pragma once
#include <bmpfun/bmp.hpp>

#include "base/byte_source.hpp"
#include "bmp/row_codec.hpp"

#include <cstddef>
#include <cstdint>

namespace bmpfun::detail {

// Where decoded rows go. row(y) gives storage for the width pixels of row y (0 at the top);
// the reader fills it whole, then calls rowDone(y) before it asks for another row. Rows come
// in the file's order, each once.
class RowSink {
 public:
  virtual ~RowSink() = default;
  virtual BitmapPixel* row(size_t y) = 0;
  virtual void rowDone(size_t y) = 0;
  // Sets the alpha of every pixel of row y, already done, to 255: the extended reader learns
  // only at the end of a file that an alpha channel which is 0 everywhere means opaque.
  virtual void makeRowOpaque(size_t y) = 0;
};

// Accepted: uncompressed 1, 4, 8, 16, 24 and 32-bit files, and 16-bit files with three colour
// masks (compression 3), with positive width and height. See reader.cpp for the rules.
class BmpReader {
 public:
  BmpReader(ByteSource& source, const Limits& limits) : source_(source), limits_(limits) {}

  // The signature and both headers. False with notBmp (nothing after the signature was
  // read), headerCut or readFailed.
  bool readHeaders(BmpStatus& status);
  const BitmapFileHeader& fileHeader() const { return file_; }
  const BitmapInfoHeader& infoHeader() const { return info_; }

  // Compression, depth, size and limit, in that order. False with the cause (and, for a file
  // the extended reader takes, status.extendedReads).
  bool checkFormat(BmpStatus& status);
  int32_t width() const { return info_.biWidth; }
  int32_t height() const { return info_.biHeight; }
  int32_t bitsPerPixel() const { return info_.biBitCount; }
  int32_t bitmapDepth() const { return info_.biBitCount; }
  int32_t xPixelsPerMeter() const { return info_.biXPelsPerMeter; }
  int32_t yPixelsPerMeter() const { return info_.biYPelsPerMeter; }

  // The colour table (1, 4, 8 bits: the default table of the depth overwritten by the file's
  // entries, the entries the file lacks white with alpha 0), or the 16-bit masks, and the gap
  // up to the pixel data. A table that the file's end cuts short is a warning in status.
  void readTable(BmpStatus& status);
  // The table as the reader uses it: 256 entries, those past 2^bits white with alpha 0.
  const Palette& palette() const { return palette_; }
  BitmapPixel tableColor(size_t k) const { return palette_[k]; }

  // Every row into sink: what the file holds, and white with alpha 0 for what it does not
  // (a warning in status). False with outOfMemory or readFailed.
  bool readRows(RowSink& sink, BmpStatus& status);

 private:
  // After a refusal: whether the extended reader takes the file.
  bool extendedReads() const;

  ByteSource& source_;
  const Limits& limits_;
  BitmapFileHeader file_;
  BitmapInfoHeader info_;
  Palette palette_{};
  Masks16 masks_;
};

}  // namespace bmpfun::detail
