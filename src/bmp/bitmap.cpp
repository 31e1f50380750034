// The Bitmap container and the codec's small helpers.
#include <bmpfun/bmp.hpp>

#include "base/grid_storage.hpp"
#include "bmp/row_codec.hpp"

#include <algorithm>
#include <atomic>
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

void Bitmap::ReleaseGrid::operator()(BitmapPixel* grid) const noexcept {
  detail::releaseGridStorage(grid);
}

// The single pixel of a new bitmap is painted like resize paints, so it never holds
// leftover memory.
Bitmap::Bitmap() : grid_(detail::allocateGridOf<BitmapPixel>(1)) { grid_[0] = kBlankPixel; }

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
  if (sized) {
    std::copy_n(source.grid_.get(), static_cast<size_t>(width_) * static_cast<size_t>(height_), grid_.get());
  }
}

bool Bitmap::resize(int32_t width, int32_t height, const Limits& limits) {
  return allocateGrid(width, height, limits, true);
}

bool Bitmap::allocateGrid(int32_t width, int32_t height, const Limits& limits, bool paint) {
  if (width < 1 || height < 1 || !limits.allows(width, height)) return false;
  const uint64_t count = static_cast<uint64_t>(width) * static_cast<uint64_t>(height);
  try {
    decltype(grid_) grid(detail::allocateGridOf<BitmapPixel>(count));
    if (paint) std::fill_n(grid.get(), static_cast<size_t>(count), kBlankPixel);
    grid_ = std::move(grid);
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
  detail::defaultColorTable(bitsPerPixel_, colorTable_.data());
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

// ---- Kept for callers that use them; no effect on any result.
void enableCodecMessages() { gCodecMessages.store(true); }
void disableCodecMessages() { gCodecMessages.store(false); }
bool codecMessagesEnabled() { return gCodecMessages.load(); }

}  // namespace bmpfun
