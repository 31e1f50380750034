// The default BMP reader, in stages, so that each caller decodes into its own storage (a
// RowSink). See reader.cpp for the rules.
#pragma once
#include <bmpfun/bmp.hpp>

#include "base/byte_source.hpp"
#include "bmp/headed_input.hpp"
#include "bmp/headers.hpp"
#include "bmp/pixel_layout.hpp"
#include "bmp/row_codec.hpp"
#include "bmp/row_sink.hpp"

#include <cstddef>
#include <cstdint>

namespace bmpfun::detail {

// Accepted: uncompressed 1, 4, 8, 16, 24 and 32-bit files, and 16-bit files with three colour
// masks (compression 3), with positive width and height (DefaultPolicy).
class BmpReader {
 public:
  BmpReader(ByteSource& source, const Limits& limits) : input_(source), limits_(limits) {}

  // The signature and both headers. False with notBmp, headerCut, unsupportedHeader or
  // readFailed (and, for a file the extended reader takes, status.extendedReads).
  bool readHeaders(Status& status);

  // Compression, depth, size and limit, in that order. False with the cause (and, for a file
  // the extended reader takes, status.extendedReads).
  bool checkFormat(Status& status);
  int32_t width() const { return layout_.width; }
  int32_t height() const { return layout_.height; }
  int32_t bitmapDepth() const { return layout_.bits; }
  // Known once readHeaders succeeded, so that a refused file still leaves its resolution.
  int32_t xPixelsPerMeter() const { return headers_.forty.xPixelsPerMeter; }
  int32_t yPixelsPerMeter() const { return headers_.forty.yPixelsPerMeter; }

  // The colour table (1, 4, 8 bits: the default table of the depth overwritten by the file's
  // entries, the entries the file lacks white with alpha 0), or the 16-bit masks, and the gap
  // up to the pixel data. A table that the file's end cuts short is a warning in status.
  void readTable(Status& status);
  // Entry k of the table: 256 entries, those past 2^bits white with alpha 0.
  BitmapPixel tableColor(size_t k) const { return palette_[k]; }

  // Every row into sink: what the file holds, and white with alpha 0 for what it does not
  // (a warning in status). False with outOfMemory or readFailed.
  bool readRows(RowSink& sink, Status& status);

 private:
  HeadedInput input_;
  const Limits& limits_;
  HeaderDescription headers_;
  PixelLayout layout_;
  Palette palette_{};
  Masks16 masks_;
};

}  // namespace bmpfun::detail
