// The Bitmap container, the header records' byte swaps and the codec's small helpers.
#include <bmpfun/bmp.hpp>

#include "bmp/grid_access.hpp"

#include <sys/mman.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>

namespace bmpfun {

namespace {

std::atomic<bool> gCodecMessages{true};

constexpr BitmapPixel kBlankPixel{255, 255, 255, 0};  // white with a zero alpha byte

BitmapPixel rgb(uint8_t red, uint8_t green, uint8_t blue) {
  return BitmapPixel{blue, green, red, 0};
}

// truncate(v) toward zero into int32; values past the int32 range saturate (NaN gives 0)
// instead of being undefined.
int32_t truncateToInt32(double v) {
  if (!(v == v)) return 0;
  if (v >= 2147483647.0) return std::numeric_limits<int32_t>::max();
  if (v <= -2147483648.0) return std::numeric_limits<int32_t>::min();
  return static_cast<int32_t>(v);
}

int32_t clampIndex(int32_t v, int32_t size) {
  if (v >= size) v = size - 1;
  if (v < 0) v = 0;
  return v;
}

bool isPalettedDepth(int32_t bits) { return bits == 1 || bits == 4 || bits == 8; }

}  // namespace

namespace detail {

namespace {
constexpr size_t kHugePage = size_t{2} << 20;
}  // namespace

void* allocateGridStorage(size_t bytes) {
  if (bytes == 0) bytes = 1;
  void* block = nullptr;
  if (bytes >= 2 * kHugePage) {
    // Aligned to the huge page size so that the whole block can be backed by them; the
    // advice is only a hint (the system may refuse or lack huge pages).
    if (posix_memalign(&block, kHugePage, bytes) != 0) throw std::bad_alloc();
    madvise(block, bytes, MADV_HUGEPAGE);
    return block;
  }
  block = std::malloc(bytes);
  if (block == nullptr) throw std::bad_alloc();
  return block;
}

void releaseGridStorage(void* block) noexcept { std::free(block); }

void adviseHugePages(void* block, size_t bytes) {
  const auto start = reinterpret_cast<uintptr_t>(block);
  const uintptr_t first = (start + kHugePage - 1) & ~(uintptr_t{kHugePage} - 1);
  const uintptr_t end = (start + bytes) & ~(uintptr_t{kHugePage} - 1);
  if (end > first) madvise(reinterpret_cast<void*>(first), end - first, MADV_HUGEPAGE);
}

void swapRedBlue(const void* in, void* out, size_t count) {
  const auto* src = static_cast<const uint8_t*>(in);
  auto* dst = static_cast<uint8_t*>(out);
  if constexpr (std::endian::native == std::endian::little) {
    for (size_t i = 0; i < count; ++i) {
      uint32_t v;
      std::memcpy(&v, src + 4 * i, 4);
      v = (v & 0xFF00FF00u) | ((v >> 16) & 0xFFu) | ((v & 0xFFu) << 16);
      std::memcpy(dst + 4 * i, &v, 4);
    }
  } else {
    for (size_t i = 0; i < count; ++i, src += 4, dst += 4) {
      const uint8_t first = src[0];
      dst[0] = src[2];
      dst[1] = src[1];
      dst[2] = first;
      dst[3] = src[3];
    }
  }
}

}  // namespace detail

int32_t integerPower(int32_t base, int32_t exponent) {
  // Unsigned multiplication wraps exactly like the two's-complement int32 product.
  uint32_t result = 1;
  for (int32_t i = 0; i < exponent; ++i) result *= static_cast<uint32_t>(base);
  return static_cast<int32_t>(result);
}

uint32_t reverseBytes32(uint32_t value) {
  return ((value & 0x000000FFu) << 24) | ((value & 0x0000FF00u) << 8) |
         ((value & 0x00FF0000u) >> 8) | ((value & 0xFF000000u) >> 24);
}

void enableCodecMessages() { gCodecMessages.store(true); }
void disableCodecMessages() { gCodecMessages.store(false); }
bool codecMessagesEnabled() { return gCodecMessages.load(); }

namespace {
uint16_t swap16(uint16_t v) { return static_cast<uint16_t>((v >> 8) | (v << 8)); }
int32_t swap32s(int32_t v) {
  return static_cast<int32_t>(reverseBytes32(static_cast<uint32_t>(v)));
}
}  // namespace

void BitmapFileHeader::reverseByteOrder() {
  bfType = swap16(bfType);
  bfSize = reverseBytes32(bfSize);
  bfReserved1 = swap16(bfReserved1);
  bfReserved2 = swap16(bfReserved2);
  bfOffBits = reverseBytes32(bfOffBits);
}

void BitmapInfoHeader::reverseByteOrder() {
  biSize = reverseBytes32(biSize);
  biWidth = swap32s(biWidth);
  biHeight = swap32s(biHeight);
  biPlanes = swap16(biPlanes);
  biBitCount = swap16(biBitCount);
  biCompression = reverseBytes32(biCompression);
  biSizeImage = reverseBytes32(biSizeImage);
  biXPelsPerMeter = swap32s(biXPelsPerMeter);
  biYPelsPerMeter = swap32s(biYPelsPerMeter);
  biClrUsed = reverseBytes32(biClrUsed);
  biClrImportant = reverseBytes32(biClrImportant);
}

// The single pixel of a new bitmap is painted like resize paints, so it never holds
// leftover memory.
Bitmap::Bitmap() : grid_(1, kBlankPixel) {}

Bitmap::Bitmap(const Bitmap& source) : Bitmap() {
  changeBitsPerPixel(source.bitsPerPixel_);
  // The source already holds this grid, so no size limit applies to its copy; if memory
  // runs out the copy stays 1 x 1 (callers that care compare the sizes).
  Limits unlimited;
  unlimited.maxPixels = std::numeric_limits<int64_t>::max();
  const bool sized = allocateGrid(source.width_, source.height_, unlimited, false);  // copied over below
  // The resolution goes through dots per inch: an unset (0) field reads as 3780 and the two
  // truncations lose a unit (3780 -> 96 dpi -> 3779). The source is const, so its unset field
  // is read as 3780 without being stored back.
  const int32_t sx = source.xPixelsPerMeter_ == 0 ? 3780 : source.xPixelsPerMeter_;
  const int32_t sy = source.yPixelsPerMeter_ == 0 ? 3780 : source.yPixelsPerMeter_;
  setResolutionDpi(truncateToInt32(sx * 0.0254), truncateToInt32(sy * 0.0254));
  for (int32_t i = 0; i < colorCount() && isPalettedDepth(bitsPerPixel_); ++i) {
    setTableColor(i, source.tableColor(i));
  }
  // Same size, so the copy goes straight into the grid just made (no allocation).
  if (sized) std::copy(source.grid_.begin(), source.grid_.end(), grid_.begin());
}

bool Bitmap::resize(int32_t width, int32_t height, const Limits& limits) {
  return allocateGrid(width, height, limits, true);
}

bool Bitmap::allocateGrid(int32_t width, int32_t height, const Limits& limits, bool paint) {
  if (width < 1 || height < 1 || !limits.allows(width, height)) return false;
  const uint64_t count = static_cast<uint64_t>(width) * static_cast<uint64_t>(height);
  if (count > grid_.max_size()) return false;
  try {
    decltype(grid_) grid(static_cast<size_t>(count));
    if (paint) std::fill(grid.begin(), grid.end(), kBlankPixel);
    grid_.swap(grid);
  } catch (const std::bad_alloc&) {
    return false;
  }
  width_ = width;
  height_ = height;
  return true;
}

bool Bitmap::changeBitsPerPixel(int32_t bits) {
  if (bits != 1 && bits != 4 && bits != 8 && bits != 16 && bits != 24 && bits != 32) return false;
  std::vector<BitmapPixel> table;
  if (isPalettedDepth(bits)) {
    try {
      table.resize(static_cast<size_t>(integerPower(2, bits)));
    } catch (const std::bad_alloc&) {
      return false;
    }
  }
  bitsPerPixel_ = bits;
  colorTable_.swap(table);
  if (isPalettedDepth(bits)) fillDefaultColorTable();
  return true;
}

int32_t Bitmap::colorCount() const {
  if (bitsPerPixel_ == 32) return integerPower(2, 24);
  return integerPower(2, bitsPerPixel_);
}

BitmapPixel Bitmap::pixel(int32_t x, int32_t y) const {
  x = clampIndex(x, width_);
  y = clampIndex(y, height_);
  return grid_[static_cast<size_t>(x) + static_cast<size_t>(y) * static_cast<size_t>(width_)];
}

BitmapPixel& Bitmap::pixelRef(int32_t x, int32_t y) {
  x = clampIndex(x, width_);
  y = clampIndex(y, height_);
  return grid_[static_cast<size_t>(x) + static_cast<size_t>(y) * static_cast<size_t>(width_)];
}

bool Bitmap::putPixel(int32_t x, int32_t y, BitmapPixel colour) {
  // Out-of-range coordinates would write outside the grid; refuse them instead.
  if (x < 0 || x >= width_ || y < 0 || y >= height_) return false;
  grid_[static_cast<size_t>(x) + static_cast<size_t>(y) * static_cast<size_t>(width_)] = colour;
  return true;
}

BitmapPixel Bitmap::tableColor(int32_t index) const {
  if (!isPalettedDepth(bitsPerPixel_) || index < 0 ||
      static_cast<size_t>(index) >= colorTable_.size()) {
    return kBlankPixel;
  }
  return colorTable_[static_cast<size_t>(index)];
}

bool Bitmap::setTableColor(int32_t index, BitmapPixel colour) {
  if (!isPalettedDepth(bitsPerPixel_) || index < 0 ||
      static_cast<size_t>(index) >= colorTable_.size()) {
    return false;
  }
  colorTable_[static_cast<size_t>(index)] = colour;
  return true;
}

bool Bitmap::fillDefaultColorTable() {
  if (!isPalettedDepth(bitsPerPixel_)) return false;
  auto& t = colorTable_;
  if (bitsPerPixel_ == 1) {
    t[0] = rgb(0, 0, 0);
    t[1] = rgb(255, 255, 255);
    return true;
  }
  // The 16-colour set: i = 4b + 2g + r, half intensity below 8 and full from 8 on, with
  // entry 8 (which would repeat black) turned into light grey.
  BitmapPixel sixteen[16];
  for (int i = 0; i < 16; ++i) {
    const int level = i < 8 ? 128 : 255;
    const int bits = i & 7;
    sixteen[i] = rgb(static_cast<uint8_t>((bits & 1) * level), static_cast<uint8_t>(((bits >> 1) & 1) * level),
                     static_cast<uint8_t>(((bits >> 2) & 1) * level));
  }
  sixteen[8] = rgb(192, 192, 192);
  if (bitsPerPixel_ == 4) {
    for (int i = 0; i < 16; ++i) t[static_cast<size_t>(i)] = sixteen[i];
    return true;
  }
  // 8 bits: a 3-3-2 colour cube, the eight dark colours in front, and the twenty system
  // colours at both ends.
  for (int i = 0; i < 256; ++i) {
    t[static_cast<size_t>(i)] = rgb(static_cast<uint8_t>(32 * (i % 8)), static_cast<uint8_t>(32 * ((i / 8) % 8)),
                                    static_cast<uint8_t>(64 * (i / 64)));
  }
  for (int i = 0; i < 8; ++i) t[static_cast<size_t>(i)] = sixteen[i];
  t[7] = rgb(192, 192, 192);
  t[8] = rgb(192, 220, 192);
  t[9] = rgb(166, 202, 240);
  t[246] = rgb(255, 251, 240);
  t[247] = rgb(160, 160, 164);
  t[248] = rgb(128, 128, 128);
  t[249] = rgb(255, 0, 0);
  t[250] = rgb(0, 255, 0);
  t[251] = rgb(255, 255, 0);
  t[252] = rgb(0, 0, 255);
  t[253] = rgb(255, 0, 255);
  t[254] = rgb(0, 255, 255);
  t[255] = rgb(255, 255, 255);
  return true;
}

bool Bitmap::fillGreyRamp() {
  if (!isPalettedDepth(bitsPerPixel_)) return false;
  const int32_t count = colorCount();
  const int32_t step = bitsPerPixel_ == 1 ? 255 : 255 / (count - 1);
  for (int32_t i = 0; i < count; ++i) {
    const auto v = static_cast<uint8_t>((i * step) % 256);
    colorTable_[static_cast<size_t>(i)] = rgb(v, v, v);
  }
  return true;
}

void Bitmap::setResolutionDpi(int32_t horizontal, int32_t vertical) {
  xPixelsPerMeter_ = truncateToInt32(horizontal * 39.37007874015748);
  yPixelsPerMeter_ = truncateToInt32(vertical * 39.37007874015748);
}

int32_t Bitmap::horizontalDpi() {
  if (xPixelsPerMeter_ == 0) xPixelsPerMeter_ = 3780;
  return truncateToInt32(xPixelsPerMeter_ * 0.0254);
}

int32_t Bitmap::verticalDpi() {
  if (yPixelsPerMeter_ == 0) yPixelsPerMeter_ = 3780;
  return truncateToInt32(yPixelsPerMeter_ * 0.0254);
}

}  // namespace bmpfun
