// A plain BMP decoder and encoder, written straight from the default reader's and the
// writer's rules: a byte cursor with the C stream's end-of-file behaviour, one field, one row
// and one pixel at a time, with no chunks and no word-at-a-time loops. The codec's fast paths
// must agree with it on every file. Shared by the tests and the fuzz targets, so it uses no test framework.
#pragma once
#include <bmpfun/bmp.hpp>
#include <bmpfun/image.hpp>

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace bmpfun::reference {

// A bitmap as a plain value: what a load must leave in a Bitmap, and what a save writes.
struct Raster {
  int32_t width = 0, height = 0, bits = 0;
  std::vector<BitmapPixel> table;                      // 2^bits entries at 1, 4 and 8 bits, else empty
  std::vector<BitmapPixel> pixels;                     // row-major, row 0 at the top
  int32_t xPixelsPerMeter = 0, yPixelsPerMeter = 0;  // 0: unset, written as 3780
};

Raster rasterOf(const Bitmap& bitmap);
// The 24-bit bitmap Image::save writes: the image's pixels (alpha too, which the file drops)
// and its resolution.
Raster rasterOf(const Image& image);
// The raster's pixels as an image holds them: red, green, blue, alpha.
std::vector<Pixel> rgbaOf(const Raster& raster);
// The first difference between two rasters (or bitmaps: size, depth, table, resolution and
// pixels) as a sentence; empty when they are the same.
std::string difference(const Raster& got, const Raster& want);
std::string difference(const Bitmap& got, const Bitmap& want);

// The two header records as the reader sees them: every field read on its own with fread's
// rules (a field the file covers in part takes the bytes that arrived as its low-order bytes;
// a field past the end keeps its construction value), whatever the signature.
BmpHeaders readHeaders(std::span<const uint8_t> file);
// Both records' fields side by side when any differs; empty when all are the same.
std::string difference(const BmpHeaders& got, const BmpHeaders& want);

struct Decoded {
  BmpCause cause = BmpCause::ok;  // why the file is refused; ok when it loads
  BmpHeaders headers;
  Raster raster;                  // when it loads
  int32_t rowsRead = 0;           // rows the file holds whole
  int32_t tableExpected = 0;      // table entries before the pixel data (at most 2^bits)
  int32_t tableRead = 0;          // those of them the file holds whole
};
// The file as the default reader takes it under limits (its `extended` is not looked at).
Decoded decode(std::span<const uint8_t> file, const Limits& limits = {});
// How a load of file (its result, its status and the bitmap it left) differs from what
// decode makes of the same bytes: outcome, cause, bitmap and warnings. Empty when it does
// the same.
std::string loadDifference(const Bitmap& bitmap, bool loaded, const BmpStatus& status,
                           std::span<const uint8_t> file, const Limits& limits = {});

// The index of the first entry at the smallest squared RGB distance from p (alpha ignored),
// scanning the whole table; 0 for an empty one.
uint8_t nearestEntry(const std::vector<BitmapPixel>& table, BitmapPixel p);

// The file the writer makes of a raster: 14 + 40 header bytes, the table (1, 4, 8 bits; each
// pixel stored as its nearest entry, the lowest index on a tie) or the 5-6-5 masks (16 bits),
// then the rows bottom row first, each padded with zeros to a multiple of 4 bytes.
std::vector<uint8_t> encode(const Raster& raster);

}  // namespace bmpfun::reference
