// Internal entry points of the BMP writer: row encoders, the file size arithmetic and the
// save through an injectable file interface.
#pragma once
#include <bmpfun/bmp.hpp>
#include <bmpfun/pixel.hpp>

#include "bmp/file_output.hpp"

#include <cstddef>
#include <cstdint>
#include <optional>

namespace bmpfun::detail {

// Byte counts of the file the writer produces for a bitmap.
struct BmpLayout {
  uint64_t rowBytes = 0;    // data bytes plus zero padding to a multiple of 4
  uint64_t tableBytes = 0;  // colour table, or the three masks of a 16-bit file
  uint64_t imageBytes = 0;  // rowBytes * height
  uint64_t fileBytes = 0;   // 54 + tableBytes + imageBytes
};
// Empty when the file would not fit the 32-bit size fields. bits is one of the six depths,
// width and height at least 1.
std::optional<BmpLayout> bmpLayout(int32_t bits, int32_t width, int32_t height);

// Row encoders: write row y of the bitmap (clamped into the grid) at the start of buffer.
// False, and nothing written, when length is too short for width pixels. Bytes past the
// pixels (padding, unused low bits of a last byte are 0) are only touched inside the last
// pixel byte.
bool encodeRow1(const Bitmap& bitmap, uint8_t* buffer, size_t length, int32_t y);
bool encodeRow4(const Bitmap& bitmap, uint8_t* buffer, size_t length, int32_t y);
bool encodeRow8(const Bitmap& bitmap, uint8_t* buffer, size_t length, int32_t y);
bool encodeRow24(const Bitmap& bitmap, uint8_t* buffer, size_t length, int32_t y);
bool encodeRow32(const Bitmap& bitmap, uint8_t* buffer, size_t length, int32_t y);

// Bitmap::saveFile with the system calls supplied by the caller.
bool saveBitmap(const Bitmap& bitmap, const std::string& path, FileIo& io);

// The header fields a written file takes from its source.
struct FileFields {
  int32_t bits = 24;
  int32_t width = 1;
  int32_t height = 1;
  int32_t xPixelsPerMeter = 0;  // 0: unset, written as 3780
  int32_t yPixelsPerMeter = 0;
};

// A 24-bit file straight from RGBA pixels (row-major, width * height), byte for byte what
// saveBitmap writes for a 24-bit bitmap holding the same colours and resolution.
bool savePixels24(const Pixel* pixels, int32_t width, int32_t height, int32_t xPixelsPerMeter,
                  int32_t yPixelsPerMeter, const std::string& path, FileIo& io);

}  // namespace bmpfun::detail
