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

#include <new>
#include <vector>

namespace bmpfun {

namespace detail {

namespace {

constexpr BitmapPixel kBlankPixel{255, 255, 255, 0};

BitmapPixel* rowPointer(Bitmap& bitmap, int32_t y) {
  if (y >= bitmap.height()) y = bitmap.height() - 1;
  if (y < 0) y = 0;
  return bitmap.data() + static_cast<size_t>(y) * static_cast<size_t>(bitmap.width());
}

BitmapPixel lookUp(const std::vector<BitmapPixel>& table, unsigned index) {
  return index < table.size() ? table[index] : kBlankPixel;
}

bool isPaletted(uint16_t bits) { return bits == 1 || bits == 4 || bits == 8; }

void reject(Bitmap& bitmap) {
  bitmap.resize(1, 1);
  bitmap.changeBitsPerPixel(1);
}

// Number of single-bit right shifts that bring the mask down to 31 or less.
int maskShift(uint16_t mask) {
  int shift = 0;
  while (mask > 31) {
    mask = static_cast<uint16_t>(mask >> 1);
    ++shift;
  }
  return shift;
}

}  // namespace

bool decodeRow1(Bitmap& bitmap, const uint8_t* row, size_t length, int32_t y) {
  const size_t width = static_cast<size_t>(bitmap.width());
  if (uint64_t{length} * 8 < width) return false;
  const auto& table = bitmap.colorTable();
  BitmapPixel* out = rowPointer(bitmap, y);
  for (size_t x = 0; x < width; ++x) {
    out[x] = lookUp(table, (row[x / 8] >> (7 - x % 8)) & 1u);
  }
  return true;
}

bool decodeRow4(Bitmap& bitmap, const uint8_t* row, size_t length, int32_t y) {
  const size_t width = static_cast<size_t>(bitmap.width());
  if (uint64_t{length} * 2 < width) return false;
  const auto& table = bitmap.colorTable();
  BitmapPixel* out = rowPointer(bitmap, y);
  for (size_t x = 0; x < width; ++x) {
    const unsigned byte = row[x / 2];
    out[x] = lookUp(table, x % 2 == 0 ? byte >> 4 : byte & 15u);
  }
  return true;
}

bool decodeRow8(Bitmap& bitmap, const uint8_t* row, size_t length, int32_t y) {
  const size_t width = static_cast<size_t>(bitmap.width());
  if (length < width) return false;
  const auto& table = bitmap.colorTable();
  BitmapPixel* out = rowPointer(bitmap, y);
  for (size_t x = 0; x < width; ++x) out[x] = lookUp(table, row[x]);
  return true;
}

bool decodeRow24(Bitmap& bitmap, const uint8_t* row, size_t length, int32_t y) {
  const size_t width = static_cast<size_t>(bitmap.width());
  if (length < uint64_t{width} * 3) return false;
  BitmapPixel* out = rowPointer(bitmap, y);
  for (size_t x = 0; x < width; ++x, row += 3) {
    out[x].blue = row[0];
    out[x].green = row[1];
    out[x].red = row[2];
  }
  return true;
}

bool decodeRow32(Bitmap& bitmap, const uint8_t* row, size_t length, int32_t y) {
  const size_t width = static_cast<size_t>(bitmap.width());
  if (length < uint64_t{width} * 4) return false;
  BitmapPixel* out = rowPointer(bitmap, y);
  for (size_t x = 0; x < width; ++x, row += 4) out[x] = BitmapPixel{row[0], row[1], row[2], row[3]};
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
  if (!(ih.biCompression == 0 || (masked && bits == 16)) || !bitmap.changeBitsPerPixel(bits) ||
      ih.biWidth <= 0 || ih.biHeight <= 0 || !bitmap.resize(ih.biWidth, ih.biHeight, limits)) {
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

  if (bits == 16) {
    uint16_t redMask = 0x7C00, greenMask = 0x03E0, blueMask = 0x001F;
    if (masked) {
      // Each mask is 4 bytes on disk; only its low 16 bits count.
      uint8_t discard[2];
      readField(redMask, source);
      guardedRead(discard, 2, 1, source);
      readField(greenMask, source);
      guardedRead(discard, 2, 1, source);
      readField(blueMask, source);
      guardedRead(discard, 2, 1, source);
    }
    if (gap > 0) guardedSkip(static_cast<uint64_t>(gap), source);
    const int redShift = maskShift(redMask), greenShift = maskShift(greenMask),
              blueShift = maskShift(blueMask);
    const size_t dataBytes = 2 * static_cast<size_t>(width);
    const size_t rowBytes = dataBytes + (4 - dataBytes % 4) % 4;
    std::vector<uint8_t> row;
    try {
      row.resize(rowBytes);
    } catch (const std::bad_alloc&) {
      reject(bitmap);
      return false;
    }
    // A row is read whole; when the data ends inside it, the pixels that arrived whole are
    // decoded and reading stops (what is left stays white with alpha 0).
    for (int32_t y = height - 1; y >= 0; --y) {
      const size_t got = source.read(row.data(), rowBytes);
      const size_t whole = std::min(got / 2, static_cast<size_t>(width));
      BitmapPixel* out = rowPointer(bitmap, y);
      for (size_t x = 0; x < whole; ++x) {
        const auto v = static_cast<uint16_t>(row[2 * x] | (row[2 * x + 1] << 8));
        out[x].blue = static_cast<uint8_t>(((v & blueMask) >> blueShift) * 8);
        out[x].green = static_cast<uint8_t>(((v & greenMask) >> greenShift) * 8);
        out[x].red = static_cast<uint8_t>(((v & redMask) >> redShift) * 8);
      }
      if (got < rowBytes) break;
    }
    return true;
  }

  if (gap > 0) guardedSkip(static_cast<uint64_t>(gap), source);
  const size_t rowBytes = ((size_t{bits} * static_cast<size_t>(width) + 31) / 32) * 4;
  std::vector<uint8_t> row;
  try {
    row.resize(rowBytes);
  } catch (const std::bad_alloc&) {
    reject(bitmap);
    return false;
  }
  bool (*decode)(Bitmap&, const uint8_t*, size_t, int32_t) =
      bits == 1 ? decodeRow1 : bits == 4 ? decodeRow4 : bits == 8 ? decodeRow8
                                                                   : bits == 24 ? decodeRow24 : decodeRow32;
  for (int32_t y = height - 1; y >= 0; --y) {
    if (source.read(row.data(), rowBytes) < rowBytes) break;
    if (!decode(bitmap, row.data(), rowBytes, y)) break;
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
