// The BMP writer.
//
// Files are written uncompressed at the bitmap's own depth: 1, 4 and 8 bits with the whole
// colour table (every pixel mapped to its nearest entry), 16 bits as 5-6-5 with three colour
// masks (compression 3), 24 bits without and 32 bits with the alpha byte. Rows go bottom row
// first, zero-padded to 4 bytes. An unset resolution is written as 3780 pixels per metre.
//
// A save either produces the whole file or reports false and leaves what was at the path
// untouched (see OutputFile for how, and for the in-place cases).
#include "bmp/writer.hpp"

#include "bmp/row_codec.hpp"

#include <bmpfun/pixel.hpp>

#include <algorithm>
#include <new>
#include <vector>

namespace bmpfun {

namespace detail {

namespace {

// Rows are handed to the file this many bytes at a time (at least one whole row).
constexpr size_t kChunkBytes = size_t{1} << 18;

const BitmapPixel* rowPointer(const Bitmap& bitmap, int32_t y) {
  if (y >= bitmap.height()) y = bitmap.height() - 1;
  if (y < 0) y = 0;
  return bitmap.data() + static_cast<size_t>(y) * static_cast<size_t>(bitmap.width());
}

void putU16(uint8_t*& out, uint32_t v) {
  *out++ = static_cast<uint8_t>(v);
  *out++ = static_cast<uint8_t>(v >> 8);
}

void putU32(uint8_t*& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) *out++ = static_cast<uint8_t>(v >> (8 * i));
}

}  // namespace

std::optional<BmpLayout> bmpLayout(int32_t bitsPerPixel, int32_t width, int32_t height) {
  if (bitsPerPixel < 1 || width < 1 || height < 1) return std::nullopt;
  // Integer arithmetic equal to ceil(bits * 0.125 * width) and the rest in doubles: every
  // value that fits the 32-bit fields is exact either way.
  const auto bits = static_cast<uint64_t>(bitsPerPixel);
  const uint64_t rowData = (bits * static_cast<uint64_t>(width) + 7) / 8;
  BmpLayout layout;
  layout.rowBytes = rowData + (4 - rowData % 4) % 4;
  if (layout.rowBytes > UINT32_MAX) return std::nullopt;
  layout.imageBytes = layout.rowBytes * static_cast<uint64_t>(height);
  if (bits <= 8) {
    layout.tableBytes = 4 * (uint64_t{1} << bits);
  } else if (bits == 16) {
    layout.tableBytes = 12;
  }
  layout.fileBytes = layout.tableBytes + layout.imageBytes + 54;
  if (layout.fileBytes > UINT32_MAX) return std::nullopt;
  return layout;
}

bool encodeRow1(const Bitmap& bitmap, uint8_t* buffer, size_t length, int32_t y) {
  const size_t width = static_cast<size_t>(bitmap.width());
  if (uint64_t{length} * 8 < width) return false;
  NearestIndexCache nearest(bitmap);
  packRow1(rowPointer(bitmap, y), buffer, width, nearest);
  return true;
}

bool encodeRow4(const Bitmap& bitmap, uint8_t* buffer, size_t length, int32_t y) {
  const size_t width = static_cast<size_t>(bitmap.width());
  if (uint64_t{length} * 2 < width) return false;
  NearestIndexCache nearest(bitmap);
  packRow4(rowPointer(bitmap, y), buffer, width, nearest);
  return true;
}

bool encodeRow8(const Bitmap& bitmap, uint8_t* buffer, size_t length, int32_t y) {
  const size_t width = static_cast<size_t>(bitmap.width());
  if (length < width) return false;
  NearestIndexCache nearest(bitmap);
  packRow8(rowPointer(bitmap, y), buffer, width, nearest);
  return true;
}

bool encodeRow24(const Bitmap& bitmap, uint8_t* buffer, size_t length, int32_t y) {
  const size_t width = static_cast<size_t>(bitmap.width());
  if (length < uint64_t{width} * 3) return false;
  packRow24(rowPointer(bitmap, y), buffer, width);
  return true;
}

bool encodeRow32(const Bitmap& bitmap, uint8_t* buffer, size_t length, int32_t y) {
  const size_t width = static_cast<size_t>(bitmap.width());
  if (length < uint64_t{width} * 4) return false;
  packRow32(rowPointer(bitmap, y), buffer, width);
  return true;
}

namespace {

// Writes the headers, the colour table or masks (from table, for 1, 4 and 8 bits) and the
// rows; packRow(y, dst) packs row y (0 at the top) at dst. Rows are packed a chunk of whole
// rows at a time into a buffer zeroed once: the packers never touch the padding, so it
// stays 0.
template <typename PackRow>
bool writeFile(const FileFields& fields, const Bitmap& table, const std::string& path, FileIo& io,
               PackRow packRow) {
  // A file too large for the 32-bit size fields is refused before anything is created.
  const std::optional<BmpLayout> layout = bmpLayout(fields.bits, fields.width, fields.height);
  if (!layout) return false;
  const int32_t bits = fields.bits;

  const size_t rowBytes = static_cast<size_t>(layout->rowBytes);
  const size_t chunkRows = std::min(std::max<size_t>(1, kChunkBytes / rowBytes),
                                    static_cast<size_t>(fields.height));
  std::vector<uint8_t> chunk;
  try {
    chunk.assign(chunkRows * rowBytes, 0);
  } catch (const std::bad_alloc&) {
    return false;
  }

  OutputFile file(io);
  if (!file.open(path)) return false;

  uint8_t header[54];
  uint8_t* out = header;
  putU16(out, 19778);
  putU32(out, static_cast<uint32_t>(layout->fileBytes));
  putU16(out, 0);
  putU16(out, 0);
  putU32(out, static_cast<uint32_t>(54 + layout->tableBytes));
  putU32(out, 40);
  putU32(out, static_cast<uint32_t>(fields.width));
  putU32(out, static_cast<uint32_t>(fields.height));
  putU16(out, 1);
  putU16(out, static_cast<uint32_t>(bits));
  putU32(out, bits == 16 ? 3u : 0u);
  putU32(out, static_cast<uint32_t>(layout->imageBytes));
  // An unset resolution is written as 3780; the bitmap itself keeps its 0.
  putU32(out, static_cast<uint32_t>(fields.xPixelsPerMeter == 0 ? 3780 : fields.xPixelsPerMeter));
  putU32(out, static_cast<uint32_t>(fields.yPixelsPerMeter == 0 ? 3780 : fields.yPixelsPerMeter));
  putU32(out, 0);
  putU32(out, 0);
  bool ok = file.write(header, sizeof header);

  if (bits == 1 || bits == 4 || bits == 8) {
    const int32_t count = table.colorCount();
    for (int32_t k = 0; ok && k < count; ++k) {
      const BitmapPixel c = table.tableColor(k);
      const uint8_t entry[4] = {c.blue, c.green, c.red, c.alpha};
      ok = file.write(entry, 4);
    }
  } else if (bits == 16) {
    static constexpr uint8_t kMasks[12] = {0x00, 0xF8, 0, 0, 0xE0, 0x07, 0, 0, 0x1F, 0x00, 0, 0};
    ok = ok && file.write(kMasks, sizeof kMasks);
  }

  size_t rowsLeft = static_cast<size_t>(fields.height);
  while (ok && rowsLeft > 0) {
    const size_t rows = std::min(chunkRows, rowsLeft);
    for (size_t k = 0; k < rows; ++k) {
      --rowsLeft;
      packRow(rowsLeft, chunk.data() + k * rowBytes);
    }
    ok = file.write(chunk.data(), rows * rowBytes);
  }
  return ok && file.commit();
}

}  // namespace

bool saveBitmap(const Bitmap& bitmap, const std::string& path, FileIo& io) {
  const FileFields fields{bitmap.bitsPerPixel(), bitmap.width(), bitmap.height(),
                          bitmap.xPixelsPerMeter(), bitmap.yPixelsPerMeter()};
  const size_t width = static_cast<size_t>(bitmap.width());
  NearestIndexCache nearest(bitmap);
  return writeFile(fields, bitmap, path, io, [&](size_t y, uint8_t* dst) {
    const BitmapPixel* in = bitmap.data() + y * width;
    switch (fields.bits) {
      case 1: packRow1(in, dst, width, nearest); break;
      case 4: packRow4(in, dst, width, nearest); break;
      case 8: packRow8(in, dst, width, nearest); break;
      case 16: packRow16(in, dst, width); break;
      case 24: packRow24(in, dst, width); break;
      default: packRow32(in, dst, width); break;
    }
  });
}

bool savePixels24(const Pixel* pixels, int32_t width, int32_t height, int32_t xPixelsPerMeter,
                  int32_t yPixelsPerMeter, const std::string& path, FileIo& io) {
  const FileFields fields{24, width, height, xPixelsPerMeter, yPixelsPerMeter};
  const Bitmap noTable;
  const size_t w = static_cast<size_t>(width);
  return writeFile(fields, noTable, path, io, [&](size_t y, uint8_t* dst) {
    const Pixel* in = pixels + y * w;
    for (size_t x = 0; x < w; ++x, dst += 3) {
      dst[0] = in[x].b;
      dst[1] = in[x].g;
      dst[2] = in[x].r;
    }
  });
}

}  // namespace detail

uint8_t nearestTableIndex(const Bitmap& bitmap, BitmapPixel pixel) {
  // Without a table every entry reads as the same white, so the first one wins.
  const std::vector<BitmapPixel>& table = bitmap.colorTable();
  int32_t best = 999999;
  size_t result = 0;
  for (size_t k = 0; k < table.size(); ++k) {
    const int32_t db = table[k].blue - pixel.blue;
    const int32_t dg = table[k].green - pixel.green;
    const int32_t dr = table[k].red - pixel.red;
    const int32_t d = db * db + dg * dg + dr * dr;
    if (d < best) {
      best = d;
      result = k;
      if (best == 0) break;  // an exact match ends the search
    }
  }
  return static_cast<uint8_t>(result);
}

bool Bitmap::saveFile(const std::string& path) const {
  return detail::saveBitmap(*this, path, detail::systemFileIo());
}

}  // namespace bmpfun
