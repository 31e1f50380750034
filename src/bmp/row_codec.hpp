// The pixel loops of the reader and writer: one file row to bitmap pixels and back, one
// tight loop per depth. No bounds checks inside: the callers size the rows.
#pragma once
#include <bmpfun/bmp.hpp>

#include "bmp/nearest_index.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace bmpfun::detail {

// A colour table widened to 256 entries, so any byte indexes it (entries past the bitmap's
// table are white with alpha 0, like tableColor).
using Palette = std::array<BitmapPixel, 256>;

// The default colour table of a 1, 4 or 8-bit bitmap: its 2^bits entries into out.
void defaultColorTable(int32_t bits, BitmapPixel* out);

// File row -> width pixels. The paletted and 32-bit rows give whole pixels; 24- and 16-bit
// rows carry no alpha, so the pixel's alpha byte is either kept or set to 0 (keepAlpha).
void unpackRow1(const uint8_t* in, BitmapPixel* out, size_t width, const Palette& palette);
void unpackRow4(const uint8_t* in, BitmapPixel* out, size_t width, const Palette& palette);
void unpackRow8(const uint8_t* in, BitmapPixel* out, size_t width, const Palette& palette);
void unpackRow24(const uint8_t* in, BitmapPixel* out, size_t width, bool keepAlpha);
void unpackRow32(const uint8_t* in, BitmapPixel* out, size_t width);

// The channel masks of a 16-bit file and their shifts (right shifts that bring each mask
// down to 31 or less). Each channel is (v & mask) >> shift, times 8, kept to a byte.
struct Masks16 {
  uint16_t red = 0x7C00, green = 0x03E0, blue = 0x001F;
  int redShift = 10, greenShift = 5, blueShift = 0;
  void computeShifts();
};
// Alpha is set to 0.
void unpackRow16(const uint8_t* in, BitmapPixel* out, size_t width, const Masks16& masks);

// width pixels -> file row data (padding not touched; the unused low bits of a last,
// partly used byte are 0). 24 and 16 bits drop alpha.
void packRow1(const BitmapPixel* in, uint8_t* out, size_t width, NearestIndexCache& nearest);
void packRow4(const BitmapPixel* in, uint8_t* out, size_t width, NearestIndexCache& nearest);
void packRow8(const BitmapPixel* in, uint8_t* out, size_t width, NearestIndexCache& nearest);
void packRow16(const BitmapPixel* in, uint8_t* out, size_t width);  // 5-6-5, little-endian
void packRow24(const BitmapPixel* in, uint8_t* out, size_t width);
void packRow32(const BitmapPixel* in, uint8_t* out, size_t width);

}  // namespace bmpfun::detail
