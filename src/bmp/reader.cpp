// The BMP reader.
//
// Accepted: uncompressed 1, 4, 8, 16, 24 and 32-bit files, and 16-bit files with three
// colour masks (compression 3), with positive width and height. Rows are stored bottom row
// first and padded to 4 bytes. The info header is taken to be 40 bytes whatever biSize says;
// only paletted files with a longer header that ends at or before the pixel data take their
// colour table from the end of that header (that is where the longer headers put it).
//
// Result and bitmap state:
//   path cannot be opened (or is a directory) -> false; 1 x 1, 1 bit, default table, white
//   first two bytes are not "BM"              -> false; bitmap untouched
//   header shorter than 54 bytes              -> false; 1 x 1, 1 bit ("Reject")
//   compression other than 0 (or 3 at 16 bits), depth not 1/4/8/16/24/32, width or height
//   below 1, width x height past the limit or out of memory
//                                             -> false; Reject, but the resolution fields
//                                                already hold the file's values
//   anything after the headers short or odd   -> true; what was not read stays white, alpha 0
//
// Every header field is read on its own, little-endian, with fread's rules: a field the file
// covers only in part takes the bytes that arrived as its low-order bytes.
#include "bmp/reader.hpp"

#include "bmp/grid_access.hpp"
#include "bmp/row_codec.hpp"

#include <algorithm>
#include <new>
#include <vector>

namespace bmpfun {

namespace detail {

namespace {

constexpr BitmapPixel kBlankPixel{255, 255, 255, 0};
// Pixel data is read this many bytes at a time (at least one whole row): few system calls,
// and the chunk stays in cache while its rows are unpacked.
constexpr size_t kChunkBytes = size_t{1} << 18;

BitmapPixel* rowPointer(Bitmap& bitmap, int32_t y) {
  if (y >= bitmap.height()) y = bitmap.height() - 1;
  if (y < 0) y = 0;
  return bitmap.data() + static_cast<size_t>(y) * static_cast<size_t>(bitmap.width());
}

bool isPaletted(uint16_t bits) { return bits == 1 || bits == 4 || bits == 8; }

void reject(Bitmap& bitmap) {
  bitmap.resize(1, 1);
  bitmap.changeBitsPerPixel(1);
}

}  // namespace

bool decodeRow1(Bitmap& bitmap, const uint8_t* row, size_t length, int32_t y) {
  const size_t width = static_cast<size_t>(bitmap.width());
  if (uint64_t{length} * 8 < width) return false;
  unpackRow1(row, rowPointer(bitmap, y), width, paletteOf(bitmap));
  return true;
}

bool decodeRow4(Bitmap& bitmap, const uint8_t* row, size_t length, int32_t y) {
  const size_t width = static_cast<size_t>(bitmap.width());
  if (uint64_t{length} * 2 < width) return false;
  unpackRow4(row, rowPointer(bitmap, y), width, paletteOf(bitmap));
  return true;
}

bool decodeRow8(Bitmap& bitmap, const uint8_t* row, size_t length, int32_t y) {
  const size_t width = static_cast<size_t>(bitmap.width());
  if (length < width) return false;
  unpackRow8(row, rowPointer(bitmap, y), width, paletteOf(bitmap));
  return true;
}

bool decodeRow24(Bitmap& bitmap, const uint8_t* row, size_t length, int32_t y) {
  const size_t width = static_cast<size_t>(bitmap.width());
  if (length < uint64_t{width} * 3) return false;
  unpackRow24(row, rowPointer(bitmap, y), width, true);
  return true;
}

bool decodeRow32(Bitmap& bitmap, const uint8_t* row, size_t length, int32_t y) {
  const size_t width = static_cast<size_t>(bitmap.width());
  if (length < uint64_t{width} * 4) return false;
  unpackRow32(row, rowPointer(bitmap, y), width);
  return true;
}

bool loadFromSource(Bitmap& bitmap, ByteSource& source, const Limits& limits) {
  BitmapFileHeader fh;
  bool headerOk = readField(fh.bfType, source);
  // An empty file keeps the constructed "BM" here and fails on the next field instead.
  if (fh.bfType != 19778) return false;
  headerOk = readField(fh.bfSize, source) && headerOk;
  headerOk = readField(fh.bfReserved1, source) && headerOk;
  headerOk = readField(fh.bfReserved2, source) && headerOk;
  headerOk = readField(fh.bfOffBits, source) && headerOk;

  BitmapInfoHeader ih;
  headerOk = readField(ih.biSize, source) && headerOk;
  headerOk = readField(ih.biWidth, source) && headerOk;
  headerOk = readField(ih.biHeight, source) && headerOk;
  headerOk = readField(ih.biPlanes, source) && headerOk;
  headerOk = readField(ih.biBitCount, source) && headerOk;
  headerOk = readField(ih.biCompression, source) && headerOk;
  headerOk = readField(ih.biSizeImage, source) && headerOk;
  headerOk = readField(ih.biXPelsPerMeter, source) && headerOk;
  headerOk = readField(ih.biYPelsPerMeter, source) && headerOk;
  headerOk = readField(ih.biClrUsed, source) && headerOk;
  headerOk = readField(ih.biClrImportant, source) && headerOk;
  if (!headerOk) {
    reject(bitmap);
    return false;
  }

  // Taken before the format checks, so a refused file still leaves its resolution behind.
  bitmap.setPixelsPerMeter(ih.biXPelsPerMeter, ih.biYPelsPerMeter);

  const uint16_t bits = ih.biBitCount;
  const bool masked = ih.biCompression == 3;
  // The grid is sized without the paint: every pixel the file holds is overwritten below,
  // and only what it does not hold is painted.
  if (!(ih.biCompression == 0 || (masked && bits == 16)) || !bitmap.changeBitsPerPixel(bits) ||
      ih.biWidth <= 0 || ih.biHeight <= 0 ||
      !GridAccess::allocateUnpainted(bitmap, ih.biWidth, ih.biHeight, limits)) {
    reject(bitmap);
    return false;
  }

  const int32_t width = bitmap.width();
  const int32_t height = bitmap.height();
  // bfOffBits counts as signed: an offset of 2^31 or more is negative and leaves neither
  // table entries nor a gap. All differences are exact in 64 bits.
  const int64_t offBits = static_cast<int32_t>(fh.bfOffBits);
  int64_t dataStart = 54;  // where the table (or the masks) start
  if (isPaletted(bits) && ih.biSize > 40 && 14 + int64_t{ih.biSize} <= offBits) {
    dataStart = 14 + int64_t{ih.biSize};
    guardedSkip(static_cast<uint64_t>(dataStart - 54), source);
  }

  int64_t gap = offBits - dataStart;
  if (isPaletted(bits)) {
    const int32_t count = bitmap.colorCount();
    int64_t entries = (offBits - dataStart) / 4;
    if (entries > count) entries = count;
    int32_t k = 0;
    for (; k < entries; ++k) {
      // An entry read in part keeps the rest of its default-table bytes; an entry the file
      // lacks altogether keeps its default colour.
      const BitmapPixel current = bitmap.tableColor(k);
      uint8_t raw[4] = {current.blue, current.green, current.red, current.alpha};
      guardedRead(raw, 4, 1, source);
      bitmap.setTableColor(k, BitmapPixel{raw[0], raw[1], raw[2], raw[3]});
    }
    for (; k < count; ++k) bitmap.setTableColor(k, kBlankPixel);
    gap -= 4 * int64_t{count};
  } else if (bits == 16 && masked) {
    gap -= 12;
  }
  if (gap < 0) gap = 0;

  Masks16 masks;
  if (bits == 16) {
    if (masked) {
      // Each mask is 4 bytes on disk; only its low 16 bits count.
      uint8_t discard[2];
      readField(masks.red, source);
      guardedRead(discard, 2, 1, source);
      readField(masks.green, source);
      guardedRead(discard, 2, 1, source);
      readField(masks.blue, source);
      guardedRead(discard, 2, 1, source);
    }
    masks.computeShifts();
  }
  if (gap > 0) guardedSkip(static_cast<uint64_t>(gap), source);

  // Rows go bottom row first, each padded to 4 bytes; they are read a chunk of whole rows at
  // a time. Reading stops at the first row the file does not hold whole; of a 16-bit row cut
  // short, the pixels that arrived whole are kept. Everything not read is painted white with
  // alpha 0, as a fresh grid would be.
  const size_t w = static_cast<size_t>(width);
  const size_t rowBytes = ((size_t{bits} * w + 31) / 32) * 4;
  const size_t chunkRows = std::min(std::max<size_t>(1, kChunkBytes / rowBytes), static_cast<size_t>(height));
  std::vector<uint8_t> chunk;
  try {
    chunk.resize(chunkRows * rowBytes);
  } catch (const std::bad_alloc&) {
    reject(bitmap);
    return false;
  }
  const Palette palette = isPaletted(bits) ? paletteOf(bitmap) : Palette{};
  const auto unpack = [&](const uint8_t* in, BitmapPixel* out, size_t count) {
    switch (bits) {
      case 1: unpackRow1(in, out, count, palette); break;
      case 4: unpackRow4(in, out, count, palette); break;
      case 8: unpackRow8(in, out, count, palette); break;
      case 16: unpackRow16(in, out, count, masks); break;
      case 24: unpackRow24(in, out, count, false); break;
      default: unpackRow32(in, out, count); break;
    }
  };
  BitmapPixel* const grid = bitmap.data();
  size_t rowsLeft = static_cast<size_t>(height);  // rows 0 .. rowsLeft - 1 are still to come
  size_t partial = 0;                              // pixels of row rowsLeft - 1 read all the same
  while (rowsLeft > 0) {
    const size_t rows = std::min(chunkRows, rowsLeft);
    const size_t got = source.read(chunk.data(), rows * rowBytes);
    const size_t whole = got / rowBytes;
    for (size_t k = 0; k < whole; ++k) {
      --rowsLeft;
      unpack(chunk.data() + k * rowBytes, grid + rowsLeft * w, w);
    }
    if (got < rows * rowBytes) {
      if (bits == 16) {
        partial = std::min((got % rowBytes) / 2, w);
        unpack(chunk.data() + whole * rowBytes, grid + (rowsLeft - 1) * w, partial);
      }
      break;
    }
  }
  if (rowsLeft > 0) {
    std::fill(grid, grid + (rowsLeft - 1) * w, kBlankPixel);
    std::fill(grid + (rowsLeft - 1) * w + partial, grid + rowsLeft * w, kBlankPixel);
  }
  return true;
}

bool loadFromMemory(Bitmap& bitmap, const uint8_t* data, size_t size, const Limits& limits) {
  MemorySource source(data, size);
  return loadFromSource(bitmap, source, limits);
}

}  // namespace detail

bool Bitmap::loadFile(const std::string& path, const Limits& limits) {
  detail::FileSource source(path);
  if (!source.isOpen()) {
    changeBitsPerPixel(1);
    resize(1, 1);
    return false;
  }
  return detail::loadFromSource(*this, source, limits);
}

}  // namespace bmpfun
