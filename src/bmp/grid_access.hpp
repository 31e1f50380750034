// Codec-internal access to a Bitmap's grid allocation, for code that overwrites every pixel
// itself (the reader, Image::save) and so need not paint a fresh grid first.
#pragma once
#include <bmpfun/bmp.hpp>

#include <cstddef>
#include <cstdint>

namespace bmpfun::detail {

struct GridAccess {
  // resize without the paint: the new grid's pixels are unwritten.
  static bool allocateUnpainted(Bitmap& bitmap, int32_t width, int32_t height, const Limits& limits) {
    return bitmap.allocateGrid(width, height, limits, false);
  }
};

// Ask for huge pages on the whole 2 MiB pages inside a block that is not yet touched (a hint
// only). Used for large pixel arrays that are not grids.
void adviseHugePages(void* block, size_t bytes);

// Bitmap pixels (blue, green, red, alpha) to image pixels (red, green, blue, alpha) or back:
// the same swap of the first and third byte of every 4-byte pixel.
void swapRedBlue(const void* in, void* out, size_t count);

}  // namespace bmpfun::detail
