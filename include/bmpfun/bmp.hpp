// The BMP codec: file records, the Bitmap container, reading, writing, header
// inspection, rectangle copies and rescaling.
//
// Coordinates: pixel (x, y) has x = 0 at the left edge and y = 0 at the top row.
// Files store rows bottom row first; the reader and writer turn them around.
#pragma once
#include <bmpfun/limits.hpp>
#include <bmpfun/status.hpp>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace bmpfun {

// 32-bit integer power, wrapping like int32 multiplication; 1 for exponent <= 0.
int32_t integerPower(int32_t base, int32_t exponent);
// The four bytes of value in reverse order.
uint32_t reverseBytes32(uint32_t value);

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

// How a save lays out and treats the file it writes.
struct SaveOptions {
  // A file is always written to a temporary file beside the output and renamed over it when
  // complete, so the output is swapped atomically: a reader, a crash or a killed process
  // sees the old file or the new one, never a mix. The swap is not flushed to the disk,
  // though: after a power loss the system may hold neither. With sync, the new file is
  // flushed (fsync) before the rename and its folder after it, at the cost of waiting for
  // the disk.
  bool sync = false;
  // Threads that may pack the rows, counted as Limits::threads counts them: 1 the caller's
  // thread alone, 0 one per processor. A file save packs rows of every depth on them, each
  // thread writing its rows at their place in the file; a memory save splits only the
  // mapping of a 1-, 4- or 8-bit file's pixels to their nearest table entries. The bytes
  // written do not depend on it.
  int32_t threads = 1;
  // 32 bits only: a 124-byte (V5) header, compression 3 with red, green, blue and alpha masks
  // (0x00FF0000, 0x0000FF00, 0x000000FF, 0xFF000000) and the sRGB colour space: the layout
  // image editors and browsers read as transparent. An alpha that is 0 in every pixel (what
  // the default reader gives a file without alpha) is written as 255, as the extended reader
  // reads it. Without alphaMasks a 32-bit file has the 40-byte header and the alpha as its
  // fourth byte, which most programs show opaque.
  bool alphaMasks = false;
};

// Removes every temporary file a save in this process is writing at this moment: for a
// program's own handler of SIGINT, SIGTERM and the like, which then ends the process.
// Without it, a save killed half-way leaves its temporary file in the output's folder (the
// old output is safe either way). Async-signal-safe: it reads a fixed list of paths through
// lock-free atomics and removes files only (on Windows it may run on any thread).
void removeTemporaryFiles() noexcept;
// Installs handlers of SIGINT, SIGTERM and SIGHUP that remove those temporary files and then
// end the process by the same signal, so its parent sees how it ended; a signal the process
// was started with ignored (nohup) stays ignored. On Windows, a console control handler does
// the same for Ctrl-C, Ctrl-Break, closing the console, logging off and shutting down, and
// the system then ends the process as it does any console program. The library installs
// nothing by itself: a program that saves files calls this once at its start.
void removeTemporaryFilesOnStopSignals();

namespace detail {
class ByteSource;  // the reader's input: a file or bytes in memory (src/base/byte_source.hpp)
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

  // Read a BMP file (see src/bmp/reader.cpp for the accept/reject rules and the state the
  // bitmap is left in on every failure). The status, when asked for, gives the cause of a
  // failure or the warnings of a file whose data ends early.
  //
  // With limits.extended the extended reader (src/bmp/extended_reader.cpp) reads it instead:
  // pixels are straight RGBA with alpha = opacity (255 where the file has no alpha, (0, 0, 0,
  // 0) where it draws nothing). The depth is the file's, except 2 bits -> 4 and 16 bits with
  // an alpha mask -> 32; RLE files become uncompressed 8- and 4-bit bitmaps. 1 to 8 bits keep
  // the file's colours as their table (fourth byte 0, missing entries black). Saved at 32
  // bits the bitmap keeps every pixel and its alpha; at a paletted depth a pixel the file did
  // not draw becomes the table entry nearest to black.
  [[nodiscard]] bool loadFile(const std::string& path, const Limits& limits = {}, Status* status = nullptr);
  // The same read from the bytes of a file in memory: the same results and statuses.
  [[nodiscard]] bool loadMemory(std::span<const uint8_t> bytes, const Limits& limits = {},
                  Status* status = nullptr);
  // Write the bitmap at its own depth. Never leaves a partial file at path: the file is
  // written beside it and renamed over it when complete (see SaveOptions). A folder where
  // that temporary file cannot be made (read-only, say) is refused with noTemporaryFile,
  // also for a writable file in it; devices and pipes are written directly.
  [[nodiscard]] bool saveFile(const std::string& path, Status* status = nullptr) const;
  [[nodiscard]] bool saveFile(const std::string& path, const SaveOptions& options, Status* status = nullptr) const;
  // The bytes saveFile writes, into out (replaced; left empty on failure). Of the options
  // threads and alphaMasks play a part; sync has no meaning here.
  [[nodiscard]] bool saveMemory(std::vector<uint8_t>& out, Status* status = nullptr) const;
  [[nodiscard]] bool saveMemory(std::vector<uint8_t>& out, const SaveOptions& options, Status* status = nullptr) const;

  // Direct access to the grid: row-major, element x + y * width.
  const BitmapPixel* data() const { return grid_.get(); }
  BitmapPixel* data() { return grid_.get(); }
  const std::vector<BitmapPixel>& colorTable() const { return colorTable_; }

 private:
  struct ReleaseGrid {
    void operator()(BitmapPixel* grid) const noexcept;
  };
  // resize, or with paint false a grid whose pixels the caller overwrites itself.
  bool allocateGrid(int32_t width, int32_t height, const Limits& limits, bool paint);
  bool load(detail::ByteSource& source, const Limits& limits, Status& status);
  template <typename Reader>
  bool loadWith(Reader& reader, const Limits& limits, Status& status);

  int32_t bitsPerPixel_ = 24;
  int32_t width_ = 1;
  int32_t height_ = 1;
  std::unique_ptr<BitmapPixel[], ReleaseGrid> grid_;  // width * height, row-major
  std::vector<BitmapPixel> colorTable_;  // colorCount() entries for 1/4/8 bits, else empty
  int32_t xPixelsPerMeter_ = 0;
  int32_t yPixelsPerMeter_ = 0;
};

// Index of the table entry nearest to pixel (squared RGB distance, alpha ignored); ties go
// to the lowest index.
uint8_t nearestTableIndex(const Bitmap& bitmap, BitmapPixel pixel);

// Header inspection. The two records as the reader sees them, without any check: fields a
// short file does not reach keep their construction values, and a field it covers in part
// takes the arrived bytes as its low-order bytes; a file that is not a BMP shows its first
// two bytes as bfType. bytes counts the header bytes the file held (at most 54).
struct BmpHeaders {
  BitmapFileHeader file;
  BitmapInfoHeader info;
  uint64_t bytes = 0;
};
// One open and one read of the file. A file that cannot be opened gives a cannotOpen status
// (and the records' construction values, bfType included). A file whose first two bytes are
// not "BM" gives a notBmp status, its records still filled as above; a file that holds "BM"
// but ends inside its headers is ok (one that holds less of it is cut short, headerCut).
BmpHeaders readHeadersOf(const std::string& path, Status* status = nullptr);
BmpHeaders readHeadersOf(std::span<const uint8_t> bytes, Status* status = nullptr);
// The headers for display, every field by name in file order, its value in text. Two readings,
// as the two readers read the headers:
//   - extended: the kind of info header and every field it holds (the file header's five, the
//     info header's own, and the colour masks that follow a header for compression 3 and 6,
//     under the names the masks have inside the longer headers). Values are in decimal, masks
//     and colour-space tags in hexadecimal; the compression and the colour space are followed
//     by their names, e.g. "3 (BI_BITFIELDS)", "0x73524742 (sRGB)".
//   - byDefault: no kind, and the 16 fields of the file header and the 40-byte info header in
//     decimal, whatever the info header's size, as readHeadersOf reads them; but an OS/2
//     header shorter than 40 bytes, which does not hold those fields, gives the extended
//     reading.
// These are the lines `bmpfun info` prints ("header: KIND" first when there is a kind).
enum class HeaderReading : uint8_t { byDefault, extended };
struct BmpField {
  std::string name;
  std::string value;
};
struct BmpHeaderView {
  std::string kind;  // e.g. "Windows V5 (124 bytes)", "OS/2 1.x (12 bytes)"; empty byDefault
  std::vector<BmpField> fields;
};
// False, with the status, for a file that is not a BMP file. The extended reading also fails
// for headers cut short or an info header size that is no header's (below 16 other than 12);
// the default reading fails as readHeadersOf does (and as the extended reading for a short
// OS/2 header).
bool describeHeaders(std::span<const uint8_t> bytes, BmpHeaderView& view, Status* status = nullptr,
                     HeaderReading reading = HeaderReading::extended);
bool describeHeadersOf(const std::string& path, BmpHeaderView& view, Status* status = nullptr,
                       HeaderReading reading = HeaderReading::extended);

// The size of the picture a file holds, as its headers say (an OS/2 1.x header's 16-bit sides
// too; a top-down file's rows counted as rows), without any check of the size. False, with the
// status, for a file that cannot be opened or read, is not a BMP file or ends before its size.
[[nodiscard]] bool pictureSizeOf(const std::string& path, int64_t& width, int64_t& height, Status* status = nullptr);

// The file header alone. A file that cannot be opened gives bfType 0 (and, when asked, a
// cannotOpen status).
BitmapFileHeader readFileHeaderOf(const std::string& path, Status* status = nullptr);
// The info header alone; a file that cannot be opened gives the construction defaults.
BitmapInfoHeader readInfoHeaderOf(const std::string& path, Status* status = nullptr);
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
// unset resolution now reads 3780) for an unknown mode (unknownMode), a new size past 32 bits
// or the limit (tooLarge) or out of memory; the status, when asked for, says which.
[[nodiscard]] bool rescale(Bitmap& bitmap, char mode, int32_t value, const Limits& limits = {},
             Status* status = nullptr);

// ---- Kept for callers that use them; they have no effect on any result.
// Process-wide switch for the codec's diagnostic messages (starts on). No codec operation
// prints anything, so the switch changes nothing; it is kept for callers that query it.
void enableCodecMessages();
void disableCodecMessages();
bool codecMessagesEnabled();

}  // namespace bmpfun
