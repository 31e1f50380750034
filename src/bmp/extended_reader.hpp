// The extended BMP reader, chosen by Limits::extended: every variant real files use (RLE8 and
// RLE4, top-down rows, 16- and 32-bit bit fields with or without alpha, 2-bit files, OS/2
// headers with 3- or 4-byte table entries, pixel data that ends early) in the same stages as
// the default reader, decoding into a RowSink. See extended_reader.cpp for the rules.
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

class ExtendedReader {
 public:
  ExtendedReader(ByteSource& source, const Limits& limits) : input_(source), limits_(limits) {}

  // The signature and the info header. False with notBmp, headerCut or readFailed.
  bool readHeaders(Status& status);
  // The variant, depth, size, masks and limit. False with the cause. A file whose headers
  // these rules refuse but whose first 40 bytes pass the default reader's checks is read the
  // way the default reader lays it out (status.defaultLayout), so that opting in never loses
  // a file.
  bool checkFormat(Status& status);

  int32_t width() const { return layout_.width; }
  int32_t height() const { return layout_.height; }
  // The depth a Bitmap holds after this read: the file's, except 2 bits -> 4 and 16 bits with
  // an alpha mask -> 32 (the depths the bitmap can write back without losing pixels).
  int32_t bitmapDepth() const;
  int32_t xPixelsPerMeter() const { return layout_.xPixelsPerMeter; }
  int32_t yPixelsPerMeter() const { return layout_.yPixelsPerMeter; }

  // The colour table: opaque entries from the file, opaque black for the rest. A table the
  // file's end cuts short is a warning in status.
  void readTable(Status& status);
  // Entry k of the table a Bitmap keeps: the colour with a zero fourth byte.
  BitmapPixel tableColor(size_t k) const;

  // Every row into sink, in file order: what the file draws, (0, 0, 0, 0) for what it does
  // not (a warning in status when the data ends early). False with readFailed.
  bool readRows(RowSink& sink, Status& status);

 private:
  // The system's error of a read that ended the rows early, 0 when none did.
  int readRowsUncompressed(RowSink& sink, Status& status);
  int readRowsAt(RowSink& sink, Status& status, int32_t workers);

  HeadedInput input_;
  const Limits& limits_;
  HeaderDescription headers_;
  PixelLayout layout_;
  Palette palette_{};
};

}  // namespace bmpfun::detail
