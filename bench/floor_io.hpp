// The floor programs' file handling: the least a tool must do to get 24-bit BMP pixels in and
// out through the page cache. Bottom-up 24-bit files only; anything else is refused.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace floor_io {

struct Rgba {
  uint8_t r, g, b, a;
};

// Read a bottom-up, uncompressed 24-bit BMP file and unpack it into a row-major RGBA grid
// (row 0 at the top, alpha 0 like the library's reader). False on any other file.
bool readBmp24(const std::string& path, int32_t& width, int32_t& height, std::vector<Rgba>& grid);

// Pack a row-major RGBA grid into a 24-bit BMP file (rows bottom first, padded to 4 bytes)
// and write it with one system call. False when the file cannot be written whole.
bool writeBmp24(const std::string& path, int32_t width, int32_t height, const std::vector<Rgba>& grid);

}  // namespace floor_io
