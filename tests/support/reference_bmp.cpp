#include "support/reference_bmp.hpp"

#include <algorithm>
#include <map>

namespace bmpfun::reference {

namespace {

constexpr BitmapPixel kWhite0{255, 255, 255, 0};
constexpr uint16_t kSignature = 19778;  // "BM"

// Bytes with fread's rules: a read past the end delivers what is left and sets the
// end-of-file flag; a guarded read does nothing once the flag is set.
struct Cursor {
  std::span<const uint8_t> bytes;
  size_t at = 0;
  bool eof = false;

  size_t read(uint8_t* out, size_t n) {
    if (eof) return 0;
    const size_t step = std::min(n, bytes.size() - at);
    std::copy_n(bytes.begin() + static_cast<std::ptrdiff_t>(at), step, out);
    at += step;
    if (step < n) eof = true;
    return step;
  }
  // Little-endian field; bytes that arrive replace the low-order bytes of the old value.
  template <typename T>
  void field(T& v) {
    uint8_t b[sizeof(T)];
    for (size_t i = 0; i < sizeof(T); ++i) b[i] = static_cast<uint8_t>(static_cast<uint64_t>(v) >> (8 * i));
    read(b, sizeof(T));
    uint64_t value = 0;
    for (size_t i = 0; i < sizeof(T); ++i) value |= uint64_t{b[i]} << (8 * i);
    v = static_cast<T>(value);
  }
  void skip(int64_t n) {
    if (eof || n <= 0) return;
    eof = static_cast<uint64_t>(n) > bytes.size() - at;
    at = eof ? bytes.size() : at + static_cast<size_t>(n);
  }
};

BmpHeaders readHeaders(Cursor& in) {
  BmpHeaders h;
  BitmapFileHeader& f = h.file;
  BitmapInfoHeader& i = h.info;
  in.field(f.bfType), in.field(f.bfSize), in.field(f.bfReserved1), in.field(f.bfReserved2), in.field(f.bfOffBits);
  in.field(i.biSize), in.field(i.biWidth), in.field(i.biHeight), in.field(i.biPlanes), in.field(i.biBitCount);
  in.field(i.biCompression), in.field(i.biSizeImage), in.field(i.biXPelsPerMeter), in.field(i.biYPelsPerMeter);
  in.field(i.biClrUsed), in.field(i.biClrImportant);
  h.bytes = in.at;
  return h;
}

bool isPaletted(int bits) { return bits == 1 || bits == 4 || bits == 8; }

std::vector<BitmapPixel> defaultTable(int bits) {
  Bitmap b;
  b.changeBitsPerPixel(bits);
  return b.colorTable();
}

std::string text(BitmapPixel p) {
  return std::to_string(p.blue) + "," + std::to_string(p.green) + "," + std::to_string(p.red) + "," +
         std::to_string(p.alpha);
}

// Each value little-endian in `bytes` bytes.
void put(std::vector<uint8_t>& out, int bytes, std::initializer_list<uint64_t> values) {
  for (const uint64_t v : values) {
    for (int i = 0; i < bytes; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
  }
}

}  // namespace

Raster rasterOf(const Bitmap& bitmap) {
  Raster r{bitmap.width(), bitmap.height(), bitmap.bitsPerPixel(), bitmap.colorTable(), {},
           bitmap.xPixelsPerMeter(), bitmap.yPixelsPerMeter()};
  r.pixels.assign(bitmap.data(), bitmap.data() + static_cast<size_t>(r.width) * static_cast<size_t>(r.height));
  return r;
}

Raster rasterOf(const Image& image) {
  Raster r{image.width(), image.height(), 24, {}, {}, image.xPixelsPerMeter(), image.yPixelsPerMeter()};
  for (const Pixel& p : image.pixels()) r.pixels.push_back(BitmapPixel{p.b, p.g, p.r, p.a});
  return r;
}

std::vector<Pixel> rgbaOf(const Raster& raster) {
  std::vector<Pixel> out;
  for (const BitmapPixel& p : raster.pixels) out.push_back(Pixel{p.red, p.green, p.blue, p.alpha});
  return out;
}

std::string difference(const Raster& got, const Raster& want) {
  const auto shape = [](const Raster& r) {
    return std::to_string(r.width) + " x " + std::to_string(r.height) + " at " + std::to_string(r.bits) + " bits, " +
           std::to_string(r.table.size()) + " entries, " + std::to_string(r.pixels.size()) + " pixels, resolution " +
           std::to_string(r.xPixelsPerMeter) + " x " + std::to_string(r.yPixelsPerMeter);
  };
  if (shape(got) != shape(want)) return shape(got) + " instead of " + shape(want);
  const auto first = [](const std::vector<BitmapPixel>& a, const std::vector<BitmapPixel>& b, const char* what) {
    const auto [x, y] = std::mismatch(a.begin(), a.end(), b.begin());
    if (x == a.end()) return std::string();
    return what + std::to_string(x - a.begin()) + " is " + text(*x) + " instead of " + text(*y);
  };
  const std::string table = first(got.table, want.table, "entry ");
  return table.empty() ? first(got.pixels, want.pixels, "pixel ") : table;
}

std::string difference(const Bitmap& got, const Bitmap& want) { return difference(rasterOf(got), rasterOf(want)); }

BmpHeaders readHeaders(std::span<const uint8_t> file) {
  Cursor in{file};
  return readHeaders(in);
}

std::string difference(const BmpHeaders& got, const BmpHeaders& want) {
  const auto fields = [](const BmpHeaders& h) {
    const BitmapFileHeader& f = h.file;
    const BitmapInfoHeader& i = h.info;
    std::string out;
    for (const int64_t v : {int64_t{f.bfType}, int64_t{f.bfSize}, int64_t{f.bfReserved1}, int64_t{f.bfReserved2},
                            int64_t{f.bfOffBits}, int64_t{i.biSize}, int64_t{i.biWidth}, int64_t{i.biHeight},
                            int64_t{i.biPlanes}, int64_t{i.biBitCount}, int64_t{i.biCompression},
                            int64_t{i.biSizeImage}, int64_t{i.biXPelsPerMeter}, int64_t{i.biYPelsPerMeter},
                            int64_t{i.biClrUsed}, int64_t{i.biClrImportant}, static_cast<int64_t>(h.bytes)}) {
      out += " " + std::to_string(v);
    }
    return out;
  };
  if (fields(got) == fields(want)) return {};
  return "fields in file order, then the byte count:" + fields(got) + " instead of" + fields(want);
}

Decoded decode(std::span<const uint8_t> file, const Limits& limits) {
  Decoded d;
  Cursor in{file};
  d.headers = readHeaders(in);
  const BitmapFileHeader& fh = d.headers.file;
  const BitmapInfoHeader& ih = d.headers.info;
  // An OS/2 header shorter than the 40 bytes the reader reads: 12, or 16 to 39 bytes.
  const bool shortHeader = d.headers.bytes >= 18 && (ih.biSize == 12 || (ih.biSize >= 16 && ih.biSize < 40));
  if (fh.bfType != kSignature || d.headers.bytes < 54) {
    d.cause = fh.bfType != kSignature ? BmpCause::notBmp
              : shortHeader && d.headers.bytes >= 14 + uint64_t{ih.biSize} ? BmpCause::unsupportedHeader
                                                                       : BmpCause::headerCut;
    return d;
  }
  const int bits = ih.biBitCount;
  const uint32_t compression = ih.biCompression;
  const int32_t width = ih.biWidth, height = ih.biHeight;
  const bool paletted = isPaletted(bits);
  // The first rule a file breaks names the cause; a short header read as 40 bytes makes
  // garbage of the fields, so there the header is the cause, whatever the fields say.
  if (shortHeader) {
    d.cause = BmpCause::unsupportedHeader;
  } else if (!(compression == 0 || (compression == 3 && bits == 16))) {
    d.cause = BmpCause::unsupportedCompression;
  } else if (!(paletted || bits == 16 || bits == 24 || bits == 32)) {
    d.cause = BmpCause::unsupportedDepth;
  } else if (width <= 0 || height == 0) {
    d.cause = BmpCause::badSize;
  } else if (height < 0) {
    d.cause = BmpCause::topDown;
  } else if (!limits.allows(width, height)) {
    d.cause = BmpCause::tooLarge;
  }
  if (d.cause != BmpCause::ok) return d;

  Raster& r = d.raster;
  r = Raster{width, height, bits, {}, {}, ih.biXPelsPerMeter, ih.biYPelsPerMeter};
  // bfOffBits counts as a signed number. A paletted file whose longer info header ends at or
  // before the pixel data has its table after that header; every other table starts at 54.
  const int64_t off = static_cast<int32_t>(fh.bfOffBits);
  int64_t tableStart = 54;
  if (paletted && ih.biSize > 40 && 14 + int64_t{ih.biSize} <= off) {
    tableStart = 14 + int64_t{ih.biSize};
    in.skip(tableStart - 54);
  }
  int64_t gap = off - tableStart;
  if (paletted) {
    // Entries up to bfOffBits, at most 2^bits: each read over its default colour (an entry
    // cut short keeps the default's other bytes); the entries past them are white.
    r.table = defaultTable(bits);
    const int64_t count = int64_t{1} << bits;
    const int64_t entries = std::min((off - tableStart) / 4, count);
    d.tableExpected = static_cast<int32_t>(std::max<int64_t>(entries, 0));
    for (int64_t k = 0; k < count; ++k) {
      BitmapPixel& e = r.table[static_cast<size_t>(k)];
      if (k >= entries) {
        e = kWhite0;
        continue;
      }
      uint8_t raw[4] = {e.blue, e.green, e.red, e.alpha};
      if (in.read(raw, 4) == 4) ++d.tableRead;
      e = BitmapPixel{raw[0], raw[1], raw[2], raw[3]};
    }
    gap -= 4 * count;
  } else if (compression == 3) {
    gap -= 12;
  }
  uint16_t masks[3] = {0x7C00, 0x03E0, 0x001F};  // red, green, blue: 5-5-5 unless given
  if (bits == 16 && compression == 3) {
    for (uint16_t& m : masks) {  // four bytes each, of which the low two count
      uint16_t discard = 0;
      in.field(m);
      in.field(discard);
    }
  }
  in.skip(gap);
  int shift[3] = {0, 0, 0};  // brings each mask down to 31 or below
  for (int c = 0; c < 3; ++c) {
    for (uint16_t m = masks[c]; m > 31; m = static_cast<uint16_t>(m >> 1)) ++shift[c];
  }

  // Rows bottom first, padded to 4 bytes. Reading stops at the first row the file does not
  // hold whole, except that a 16-bit row keeps the pixels that arrived whole; the rest is white.
  r.pixels.assign(static_cast<size_t>(width) * static_cast<size_t>(height), kWhite0);
  const size_t rowBytes = (static_cast<size_t>(bits) * static_cast<size_t>(width) + 31) / 32 * 4;
  std::vector<uint8_t> row(rowBytes);
  for (int32_t y = height - 1; y >= 0; --y) {
    const size_t got = in.read(row.data(), rowBytes);
    if (got < rowBytes && bits != 16) break;
    for (int32_t x = 0; x < width; ++x) {
      const auto ux = static_cast<size_t>(x);
      BitmapPixel& p = r.pixels[ux + static_cast<size_t>(y) * static_cast<size_t>(width)];
      if (bits == 1) p = r.table[(row[ux / 8] >> (7 - ux % 8)) & 1];
      if (bits == 4) p = r.table[ux % 2 == 0 ? row[ux / 2] >> 4 : row[ux / 2] & 15];
      if (bits == 8) p = r.table[row[ux]];
      if (bits == 24) p = BitmapPixel{row[3 * ux], row[3 * ux + 1], row[3 * ux + 2], 0};
      if (bits == 32) p = BitmapPixel{row[4 * ux], row[4 * ux + 1], row[4 * ux + 2], row[4 * ux + 3]};
      if (bits == 16) {
        if (2 * ux + 2 > got) break;
        const unsigned v = row[2 * ux] | (unsigned{row[2 * ux + 1]} << 8);
        const auto channel = [&](int c) { return static_cast<uint8_t>(((v & masks[c]) >> shift[c]) * 8); };
        p = BitmapPixel{channel(2), channel(1), channel(0), 0};
      }
    }
    if (got < rowBytes) break;
    ++d.rowsRead;
  }
  return d;
}

std::string loadDifference(const Bitmap& bitmap, bool loaded, const BmpStatus& status,
                           std::span<const uint8_t> file, const Limits& limits) {
  const Decoded want = decode(file, limits);
  if (loaded != (want.cause == BmpCause::ok) || status.cause != want.cause) {
    return std::string(loaded ? "loaded" : "refused") + " (" + to_string(status) + "); the reference says " +
           to_string(BmpStatus{want.cause});
  }
  if (!loaded) return {};
  const std::string pixels = difference(rasterOf(bitmap), want.raster);
  const auto counts = [](int32_t rows, int32_t ofRows, int32_t entries, int32_t ofEntries) {
    return std::to_string(rows) + " of " + std::to_string(ofRows) + " rows, " + std::to_string(entries) + " of " +
           std::to_string(ofEntries) + " entries";
  };
  const std::string got = counts(status.rowsRead, status.rowsExpected, status.tableRead, status.tableExpected);
  const std::string expected = counts(want.rowsRead, want.raster.height, want.tableRead, want.tableExpected);
  if (!pixels.empty() || got == expected) return pixels;
  return "warnings of " + got + " instead of " + expected;
}

std::vector<uint8_t> encode(const Raster& raster) {
  const int bits = raster.bits;
  const size_t w = static_cast<size_t>(raster.width);
  const size_t rowData = (static_cast<size_t>(bits) * w + 7) / 8;
  const size_t rowBytes = rowData + (4 - rowData % 4) % 4;
  const size_t tableBytes = isPaletted(bits) ? 4u << bits : bits == 16 ? 12 : 0;
  const size_t imageBytes = rowBytes * static_cast<size_t>(raster.height);
  const auto resolution = [](int32_t ppm) { return static_cast<uint32_t>(ppm == 0 ? 3780 : ppm); };
  std::vector<uint8_t> out;
  put(out, 2, {kSignature});
  put(out, 4, {54 + tableBytes + imageBytes, 0, 54 + tableBytes, 40, static_cast<uint32_t>(raster.width),
               static_cast<uint32_t>(raster.height)});  // the second is both reserved fields
  put(out, 2, {1, static_cast<uint32_t>(bits)});
  put(out, 4, {bits == 16 ? 3u : 0u, imageBytes, resolution(raster.xPixelsPerMeter),
               resolution(raster.yPixelsPerMeter), 0, 0});
  for (const BitmapPixel& e : raster.table) out.insert(out.end(), {e.blue, e.green, e.red, e.alpha});
  if (bits == 16) put(out, 4, {0xF800, 0x07E0, 0x001F});
  std::map<uint32_t, unsigned> found;
  const auto indexOf = [&](BitmapPixel p) {  // the search is pure, so each colour is looked up once
    const auto [at, added] = found.try_emplace(uint32_t{p.blue} | uint32_t{p.green} << 8 | uint32_t{p.red} << 16);
    if (added) at->second = nearestEntry(raster.table, p);
    return at->second;
  };
  for (int32_t y = raster.height - 1; y >= 0; --y) {
    std::vector<uint8_t> row(rowBytes, 0);
    for (size_t x = 0; x < w; ++x) {
      const BitmapPixel p = raster.pixels[x + static_cast<size_t>(y) * w];
      const unsigned index = isPaletted(bits) ? indexOf(p) : 0;
      if (bits == 1) row[x / 8] = static_cast<uint8_t>(row[x / 8] + (index << (7 - x % 8)));
      if (bits == 4) row[x / 2] = static_cast<uint8_t>(row[x / 2] + (x % 2 == 0 ? 16 * index : index));
      if (bits == 8) row[x] = static_cast<uint8_t>(index);
      if (bits == 16) {
        const unsigned v = (p.red / 8u) * 2048u + (p.green / 4u) * 32u + p.blue / 8u;
        row[2 * x] = static_cast<uint8_t>(v);
        row[2 * x + 1] = static_cast<uint8_t>(v >> 8);
      }
      if (bits >= 24) {
        const uint8_t bgra[4] = {p.blue, p.green, p.red, p.alpha};
        std::copy_n(bgra, bits / 8, &row[x * static_cast<size_t>(bits / 8)]);
      }
    }
    out.insert(out.end(), row.begin(), row.end());
  }
  return out;
}

uint8_t nearestEntry(const std::vector<BitmapPixel>& table, BitmapPixel p) {
  int best = 999999, result = 0;
  for (size_t k = 0; k < table.size(); ++k) {
    const int db = table[k].blue - p.blue, dg = table[k].green - p.green, dr = table[k].red - p.red;
    const int d = db * db + dg * dg + dr * dr;
    if (d < best) {
      best = d;
      result = static_cast<int>(k);
    }
  }
  return static_cast<uint8_t>(result);
}

}  // namespace bmpfun::reference
