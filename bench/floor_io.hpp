// The floor programs' file handling: the least a tool must do to get 24-bit BMP pixels in and
// out through the page cache. Bottom-up 24-bit files only; anything else is refused.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>

namespace floor_io {

struct Rgba {
  uint8_t r, g, b, a;
};

// Uninitialised storage for n trivially copyable items. Large blocks are aligned to 2 MiB
// and advised to use transparent huge pages, as the library's pixel grids are: page faults
// on 4 KiB pages would otherwise cost the floor more than the library pays.
void* allocateLarge(size_t bytes);
struct FreeDeleter {
  void operator()(void* p) const { std::free(p); }
};
template <typename T>
struct Array {
  std::unique_ptr<T[], FreeDeleter> items;
  size_t count = 0;
  explicit Array(size_t n = 0)
      : items(static_cast<T*>(n > 0 ? allocateLarge(n * sizeof(T)) : nullptr)), count(n) {}
  T* data() const { return items.get(); }
  size_t size() const { return count; }
  T& operator[](size_t i) const { return items[i]; }
};
using Grid = Array<Rgba>;

// Read a bottom-up, uncompressed 24-bit BMP file and unpack it into a row-major RGBA grid
// (row 0 at the top, alpha 0 like the library's reader), a chunk of rows at a time. False
// on any other file.
bool readBmp24(const std::string& path, int32_t& width, int32_t& height, Grid& grid);

// Pack a row-major RGBA grid into a 24-bit BMP file (rows bottom first, padded to 4 bytes),
// a chunk of rows at a time. False when the file cannot be written whole.
bool writeBmp24(const std::string& path, int32_t width, int32_t height, const Grid& grid);

}  // namespace floor_io
