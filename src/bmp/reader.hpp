// Internal entry points of the BMP reader: the row decoders and loading from any byte source
// (fuzzers and tests load straight from memory).
#pragma once
#include <bmpfun/bmp.hpp>

#include "bmp/byte_source.hpp"

#include <cstddef>
#include <cstdint>

namespace bmpfun::detail {

// Row decoders: store the width pixels of file row `row` (length bytes) into bitmap row y.
// False, and nothing stored, when the row is too short for width pixels. Paletted decoders
// look colours up like tableColor (white, alpha 0, for an index outside the table); the 24-bit
// decoder leaves each pixel's alpha as it was. y is clamped into the grid like pixelRef.
bool decodeRow1(Bitmap& bitmap, const uint8_t* row, size_t length, int32_t y);
bool decodeRow4(Bitmap& bitmap, const uint8_t* row, size_t length, int32_t y);
bool decodeRow8(Bitmap& bitmap, const uint8_t* row, size_t length, int32_t y);
bool decodeRow24(Bitmap& bitmap, const uint8_t* row, size_t length, int32_t y);
bool decodeRow32(Bitmap& bitmap, const uint8_t* row, size_t length, int32_t y);

// loadFile's work on an already opened source; same results and failure states, except that
// there is no "cannot be opened" case.
bool loadFromSource(Bitmap& bitmap, ByteSource& source, const Limits& limits);
bool loadFromMemory(Bitmap& bitmap, const uint8_t* data, size_t size, const Limits& limits);

}  // namespace bmpfun::detail
