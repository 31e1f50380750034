// The two readers' rules over one HeaderDescription: what each takes, in which order it names
// a refusal, and where it finds a file's table, masks and pixel data. The default reader asks
// the extended policy about the same description whether the extended reader would read a
// file it refuses.
#pragma once
#include <bmpfun/bmp.hpp>
#include <bmpfun/limits.hpp>

#include "bmp/headers.hpp"
#include "bmp/pixel_layout.hpp"

namespace bmpfun::detail {

// The default reader: the info header's first 40 bytes as the Windows header whatever its
// size (but an OS/2 header shorter than that is refused: its 40 bytes would hold other data);
// uncompressed 1, 4, 8, 16, 24 and 32-bit files and 16-bit files with three colour masks
// (compression 3), with positive width and height; rows bottom row first.
struct DefaultPolicy {
  // The signature and the 54 bytes of the 40-byte layout. False with readFailed, notBmp,
  // headerCut (fileBytes, headerBytes 54 and the headerSize once it arrived) or
  // unsupportedHeader (an OS/2 header shorter than 40 bytes that the file holds whole).
  static bool headers(const HeaderDescription& h, Status& status);
  // Compression, depth, size, rows stored top row first and the limit, in that order, then an
  // OS/2 header shorter than 40 bytes, which overrides them. The status takes the header's
  // values either way.
  static bool format(const HeaderDescription& h, const Limits& limits, Status& status);
  // Where the pixels of a file that passes the checks (but for a short OS/2 header) lie. The
  // colour table follows the 40-byte layout, or a longer header that ends at or before the
  // pixel data; it has as many entries as fit before bfOffBits (which counts as signed), at
  // most 2^bits. The three 16-bit masks follow the 40-byte layout. The rows start at
  // bfOffBits, but never before the end of the table or masks.
  static PixelLayout layout(const HeaderDescription& h);
};

// The extended reader (see extended_reader.cpp for its rules).
struct ExtendedPolicy {
  // The signature and the bytes the header's own fields need. False with readFailed, notBmp
  // or headerCut.
  static bool headers(const HeaderDescription& h, Status& status);
  // The variant, depth, size, masks and limit. A file these rules refuse but whose first 40
  // bytes pass the default reader's checks gets the default reader's layout
  // (status.defaultLayout), so that opting in never loses a file.
  static bool format(const HeaderDescription& h, const Limits& limits, PixelLayout& layout, Status& status);
  // Whether the extended reader reads the file (headers and format).
  static bool takes(const HeaderDescription& h, const Limits& limits);
};

}  // namespace bmpfun::detail
