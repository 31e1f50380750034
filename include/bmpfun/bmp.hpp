// The BMP codec: file records, the Bitmap container, reading, writing, header
// inspection, rectangle copies and rescaling.
//
// Coordinates: pixel (x, y) has x = 0 at the left edge and y = 0 at the top row.
// Files store rows bottom row first; the reader and writer turn them around.
#pragma once
#include <bmpfun/limits.hpp>

#include <cstddef>
#include <cstdint>
#include <new>
#include <string>
#include <utility>
#include <vector>

namespace bmpfun {

// 32-bit integer power, wrapping like int32 multiplication; 1 for exponent <= 0.
int32_t integerPower(int32_t base, int32_t exponent);
// The four bytes of value in reverse order.
uint32_t reverseBytes32(uint32_t value);

// Process-wide switch for the codec's diagnostic messages (starts on). No codec operation
// prints anything, so the switch has no visible effect; it is kept for callers that query it.
void enableCodecMessages();
void disableCodecMessages();
bool codecMessagesEnabled();

// The 14-byte file header. Fields are moved one by one, little-endian, on any host.
struct BitmapFileHeader {
  uint16_t bfType = 19778;  // "BM"
  uint32_t bfSize = 0;
  uint16_t bfReserved1 = 0;
  uint16_t bfReserved2 = 0;
  uint32_t bfOffBits = 0;

  void reverseByteOrder();  // swap every field's bytes (not used by the reader or writer)
};

// The 40-byte info header.
struct BitmapInfoHeader {
  uint32_t biSize = 0;
  int32_t biWidth = 0;
  int32_t biHeight = 0;
  uint16_t biPlanes = 1;
  uint16_t biBitCount = 0;
  uint32_t biCompression = 0;
  uint32_t biSizeImage = 0;
  int32_t biXPelsPerMeter = 3780;
  int32_t biYPelsPerMeter = 3780;
  uint32_t biClrUsed = 0;
  uint32_t biClrImportant = 0;

  void reverseByteOrder();
};

// One bitmap pixel or colour-table entry, laid out like a table entry on disk.
struct BitmapPixel {
  uint8_t blue = 0;
  uint8_t green = 0;
  uint8_t red = 0;
  uint8_t alpha = 0;

  friend constexpr bool operator==(const BitmapPixel&, const BitmapPixel&) = default;
};

namespace detail {
// Storage for pixel grids. Large blocks are asked to live on huge pages where the system
// offers them: a 4096 x 4096 grid then costs a few dozen page faults instead of 16384.
// Throws std::bad_alloc like operator new.
void* allocateGridStorage(size_t bytes);
void releaseGridStorage(void* block) noexcept;

// The allocator of Bitmap's grid. Construction without a value leaves a pixel unwritten:
// every grid is painted or overwritten whole right after it is sized (BitmapPixel is an
// aggregate of bytes, so its storage needs no constructor to run).
template <typename T>
struct GridAllocator {
  using value_type = T;
  GridAllocator() = default;
  template <typename U>
  GridAllocator(const GridAllocator<U>&) noexcept {}
  T* allocate(size_t n) {
    if (n > static_cast<size_t>(-1) / sizeof(T)) throw std::bad_array_new_length();
    return static_cast<T*>(allocateGridStorage(n * sizeof(T)));
  }
  void deallocate(T* p, size_t) noexcept { releaseGridStorage(p); }
  template <typename U>
  void construct(U*) noexcept {}
  template <typename U, typename... Args>
  void construct(U* p, Args&&... args) {
    ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
  }
  template <typename U>
  bool operator==(const GridAllocator<U>&) const noexcept { return true; }
};

struct GridAccess;  // sizing a grid that the caller overwrites itself (src/bmp/grid_access.hpp)
}  // namespace detail

// A full-colour pixel grid with a bit depth (1, 4, 8, 16, 24, 32) that decides the file
// layout the writer produces, and a colour table for 1, 4 and 8 bits. The table, when
// present, always has colorCount() entries, so an index from a file can never leave it.
// Resolution is kept in pixels per metre; 0 means unset and reads as 3780.
class Bitmap {
 public:
  Bitmap();  // 1 x 1, 24 bits, no table, resolution unset
  // Deep copy. The resolution passes through dots per inch with truncation, so a source
  // at 3780 pixels per metre gives a copy at 3779.
  Bitmap(const Bitmap& source);
  Bitmap(Bitmap&&) noexcept = default;
  Bitmap& operator=(Bitmap&&) noexcept = default;
  Bitmap& operator=(const Bitmap&) = delete;
  ~Bitmap() = default;

  int32_t bitsPerPixel() const { return bitsPerPixel_; }
  int32_t width() const { return width_; }
  int32_t height() const { return height_; }

  // New grid of width x height, every pixel blue = green = red = 255, alpha 0. False and
  // nothing changed when a side is below 1, the grid passes limits, or memory runs out.
  bool resize(int32_t width, int32_t height, const Limits& limits = {});
  // False for a depth other than 1, 4, 8, 16, 24, 32. 1/4/8 get the default table.
  bool changeBitsPerPixel(int32_t bits);
  // 2^bits; 32 bits count 2^24 like 24 bits.
  int32_t colorCount() const;

  // Pixel access with coordinates clamped into the grid.
  BitmapPixel pixel(int32_t x, int32_t y) const;
  BitmapPixel& pixelRef(int32_t x, int32_t y);
  // Unclamped store; 0 <= x < width and 0 <= y < height is the caller's obligation.
  bool putPixel(int32_t x, int32_t y, BitmapPixel colour);

  // Table entry, or white with alpha 0 when there is no table or the index is outside it.
  BitmapPixel tableColor(int32_t index) const;
  bool setTableColor(int32_t index, BitmapPixel colour);
  bool fillDefaultColorTable();
  bool fillGreyRamp();

  void setResolutionDpi(int32_t horizontal, int32_t vertical);
  // Replace an unset (0) resolution by 3780, store it, and return it in dots per inch.
  int32_t horizontalDpi();
  int32_t verticalDpi();
  int32_t xPixelsPerMeter() const { return xPixelsPerMeter_; }
  int32_t yPixelsPerMeter() const { return yPixelsPerMeter_; }
  void setPixelsPerMeter(int32_t x, int32_t y) { xPixelsPerMeter_ = x; yPixelsPerMeter_ = y; }

  // Read an uncompressed BMP file. See src/bmp/reader.cpp for the accept/reject rules and
  // the state the bitmap is left in on every failure.
  bool loadFile(const std::string& path, const Limits& limits = {});
  // Write the bitmap at its own depth. Never leaves a partial file at path: see writer.cpp.
  bool saveFile(const std::string& path) const;

  // Direct access to the grid: row-major, element x + y * width.
  const BitmapPixel* data() const { return grid_.data(); }
  BitmapPixel* data() { return grid_.data(); }
  const std::vector<BitmapPixel>& colorTable() const { return colorTable_; }

 private:
  int32_t bitsPerPixel_ = 24;
  int32_t width_ = 1;
  int32_t height_ = 1;
  // resize, or with paint false a grid whose pixels the caller overwrites itself.
  bool allocateGrid(int32_t width, int32_t height, const Limits& limits, bool paint);
  friend struct detail::GridAccess;

  std::vector<BitmapPixel, detail::GridAllocator<BitmapPixel>> grid_;  // width * height, row-major
  std::vector<BitmapPixel> colorTable_;  // colorCount() entries for 1/4/8 bits, else empty
  int32_t xPixelsPerMeter_ = 0;
  int32_t yPixelsPerMeter_ = 0;
};

// Index of the table entry nearest to pixel (squared RGB distance, alpha ignored); ties go
// to the lowest index.
uint8_t nearestTableIndex(const Bitmap& bitmap, BitmapPixel pixel);

// Header inspection. A file that cannot be opened gives bfType 0 (file header) or the
// construction defaults (info header); fields a short file does not reach keep their
// construction values, and a field it covers in part takes the arrived bytes as its
// low-order bytes.
BitmapFileHeader readFileHeaderOf(const std::string& path);
BitmapInfoHeader readInfoHeaderOf(const std::string& path);
uint16_t fileBitsPerPixel(const std::string& path);

// Pixel copies between bitmaps (from = source, to = target), coordinates clamped.
void copyPixel(const Bitmap& from, int32_t fromX, int32_t fromY, Bitmap& to, int32_t toX, int32_t toY);
void copyPixelExcept(const Bitmap& from, int32_t fromX, int32_t fromY, Bitmap& to, int32_t toX,
                     int32_t toY, BitmapPixel transparent);
void copyRect(const Bitmap& from, int32_t left, int32_t right, int32_t rowA, int32_t rowB, Bitmap& to,
              int32_t toX, int32_t toY);
void copyRectExcept(const Bitmap& from, int32_t left, int32_t right, int32_t rowA, int32_t rowB,
                    Bitmap& to, int32_t toX, int32_t toY, BitmapPixel transparent);

// Rescale in place: mode 'P' percentage, 'W' new width, 'H' new height, 'F' bound for the
// longer side (any case). The result is always 24 bits. False and nothing changed (but an
// unset resolution now reads 3780) for an unknown mode, a new size past limits or out of memory.
bool rescale(Bitmap& bitmap, char mode, int32_t value, const Limits& limits = {});

}  // namespace bmpfun
