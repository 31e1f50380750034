// The BMP writer's internals: the file size arithmetic, and one writer for every save, fed
// row by row by its caller (a Bitmap's grid, an Image's pixels) into a file or into memory.
#pragma once
#include <bmpfun/bmp.hpp>

#include "base/file_output.hpp"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace bmpfun::detail {

// Byte counts of the file the writer produces for a bitmap.
struct BmpLayout {
  uint64_t headerBytes = 54;  // file and info header: 14 + 40, or 14 + 124 with alpha masks
  uint64_t rowBytes = 0;      // data bytes plus zero padding to a multiple of 4
  uint64_t tableBytes = 0;    // colour table, or the three masks of a 16-bit file
  uint64_t imageBytes = 0;    // rowBytes * height
  uint64_t fileBytes = 0;     // headerBytes + tableBytes + imageBytes
};
// Empty when the file would not fit the 32-bit size fields. bits is one of the six depths,
// width and height at least 1; alphaMasks (32 bits) asks for the V5 header with its masks.
std::optional<BmpLayout> bmpLayout(int32_t bits, int32_t width, int32_t height, bool alphaMasks = false);

// The header fields a written file takes from its source.
struct FileFields {
  int32_t bits = 24;
  int32_t width = 1;
  int32_t height = 1;
  int32_t xPixelsPerMeter = 0;  // 0: unset, written as 3780
  int32_t yPixelsPerMeter = 0;
  bool alphaMasks = false;  // 32 bits: V5 header with red, green, blue and alpha masks
  bool opaqueAlpha = false; // with alphaMasks: every alpha byte written as 255
};

// Where the rows to write come from. row(y, scratch) gives row y (0 at the top) as width
// bitmap pixels: in scratch (room for width pixels), or in storage of the source's own. It
// may be called from several threads at once, each with a scratch row of its own.
class RowSource {
 public:
  virtual ~RowSource() = default;
  virtual const BitmapPixel* row(size_t y, BitmapPixel* scratch) = 0;
};

// What a save writes: the fields, the colour table of a 1, 4 or 8-bit file (2^bits entries;
// each pixel is written as the index of its nearest entry) and the rows.
struct SaveJob {
  FileFields fields;
  std::span<const BitmapPixel> table;
  RowSource& rows;
  // Threads that may pack rows, as Limits::threads counts them (1: the caller's alone).
  int32_t threads = 1;
};

// The file at path, through io: either the whole file or, on failure, what was at path
// before, untouched (see OutputFile).
bool saveToFile(const SaveJob& job, const std::string& path, const SaveOptions& options, FileIo& io,
                Status& status);
// The file's bytes into out (replaced; empty on failure).
bool saveToMemory(const SaveJob& job, std::vector<uint8_t>& out, Status& status);

}  // namespace bmpfun::detail
