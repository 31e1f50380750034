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
  bool field(T& v) {
    uint8_t b[sizeof(T)];
    const auto old = static_cast<uint64_t>(v);
    for (size_t i = 0; i < sizeof(T); ++i) b[i] = static_cast<uint8_t>(old >> (8 * i));
    const bool ok = read(b, sizeof(T)) == sizeof(T);
    uint64_t value = 0;
    for (size_t i = 0; i < sizeof(T); ++i) value |= uint64_t{b[i]} << (8 * i);
    v = static_cast<T>(value);
    return ok;
  }
  void skip(int64_t n) {
    if (eof || n <= 0) return;
    const size_t left = bytes.size() - at;
    if (static_cast<uint64_t>(n) > left) {
      at = bytes.size();
      eof = true;
    } else {
      at += static_cast<size_t>(n);
    }
  }
};

BmpHeaders readHeaders(Cursor& in) {
  BmpHeaders h;
  BitmapFileHeader& f = h.file;
  BitmapInfoHeader& i = h.info;
  in.field(f.bfType);
  in.field(f.bfSize);
  in.field(f.bfReserved1);
  in.field(f.bfReserved2);
  in.field(f.bfOffBits);
  in.field(i.biSize);
  in.field(i.biWidth);
  in.field(i.biHeight);
  in.field(i.biPlanes);
  in.field(i.biBitCount);
  in.field(i.biCompression);
  in.field(i.biSizeImage);
  in.field(i.biXPelsPerMeter);
  in.field(i.biYPelsPerMeter);
  in.field(i.biClrUsed);
  in.field(i.biClrImportant);
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

void putU16(std::vector<uint8_t>& out, uint32_t v) {
  for (int i = 0; i < 2; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
void putU32(std::vector<uint8_t>& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

uint8_t nearest(const std::vector<BitmapPixel>& table, BitmapPixel p) {
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
    return std::to_string(r.width) + " x " + std::to_string(r.height) + " at " + std::to_string(r.bits) +
           " bits, " + std::to_string(r.table.size()) + " entries, resolution " +
           std::to_string(r.xPixelsPerMeter) + " x " + std::to_string(r.yPixelsPerMeter);
  };
  if (got.width != want.width || got.height != want.height || got.bits != want.bits ||
      got.table.size() != want.table.size() || got.xPixelsPerMeter != want.xPixelsPerMeter ||
      got.yPixelsPerMeter != want.yPixelsPerMeter || got.pixels.size() != want.pixels.size()) {
    return shape(got) + " instead of " + shape(want);
  }
  for (size_t k = 0; k < got.table.size(); ++k) {
    if (got.table[k] != want.table[k]) {
      return "entry " + std::to_string(k) + " is " + text(got.table[k]) + " instead of " + text(want.table[k]);
    }
  }
  for (size_t k = 0; k < got.pixels.size(); ++k) {
    if (got.pixels[k] != want.pixels[k]) {
      const size_t w = static_cast<size_t>(got.width);
      return "pixel (" + std::to_string(k % w) + ", " + std::to_string(k / w) + ") of " + shape(got) + " is " +
             text(got.pixels[k]) + " instead of " + text(want.pixels[k]);
    }
  }
  return {};
}

BmpHeaders readHeaders(std::span<const uint8_t> file) {
  Cursor in{file};
  return readHeaders(in);
}

std::string difference(const BmpHeaders& got, const BmpHeaders& want) {
  const BitmapFileHeader &gf = got.file, &wf = want.file;
  const BitmapInfoHeader &gi = got.info, &wi = want.info;
  const struct {
    const char* name;
    int64_t got, want;
  } fields[] = {
      {"bfType", gf.bfType, wf.bfType},
      {"bfSize", gf.bfSize, wf.bfSize},
      {"bfReserved1", gf.bfReserved1, wf.bfReserved1},
      {"bfReserved2", gf.bfReserved2, wf.bfReserved2},
      {"bfOffBits", gf.bfOffBits, wf.bfOffBits},
      {"biSize", gi.biSize, wi.biSize},
      {"biWidth", gi.biWidth, wi.biWidth},
      {"biHeight", gi.biHeight, wi.biHeight},
      {"biPlanes", gi.biPlanes, wi.biPlanes},
      {"biBitCount", gi.biBitCount, wi.biBitCount},
      {"biCompression", gi.biCompression, wi.biCompression},
      {"biSizeImage", gi.biSizeImage, wi.biSizeImage},
      {"biXPelsPerMeter", gi.biXPelsPerMeter, wi.biXPelsPerMeter},
      {"biYPelsPerMeter", gi.biYPelsPerMeter, wi.biYPelsPerMeter},
      {"biClrUsed", gi.biClrUsed, wi.biClrUsed},
      {"biClrImportant", gi.biClrImportant, wi.biClrImportant},
      {"header bytes", static_cast<int64_t>(got.bytes), static_cast<int64_t>(want.bytes)},
  };
  for (const auto& f : fields) {
    if (f.got != f.want) {
      return std::string(f.name) + " is " + std::to_string(f.got) + " instead of " + std::to_string(f.want);
    }
  }
  return {};
}

Decoded decode(std::span<const uint8_t> file, const Limits& limits) {
  Decoded d;
  Cursor in{file};
  d.headers = readHeaders(in);
  const BitmapFileHeader& fh = d.headers.file;
  const BitmapInfoHeader& ih = d.headers.info;
  if (fh.bfType != kSignature) {
    d.cause = BmpCause::notBmp;
    return d;
  }
  if (d.headers.bytes < 54) {
    d.cause = BmpCause::headerCut;
    return d;
  }
  const int bits = ih.biBitCount;
  const uint32_t compression = ih.biCompression;
  const int32_t width = ih.biWidth, height = ih.biHeight;
  const bool paletted = isPaletted(bits);
  // The first rule a file breaks names the cause; a 12-byte header read as 40 bytes makes
  // garbage of the fields, so there the header is the cause.
  if (!(compression == 0 || (compression == 3 && bits == 16))) {
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
  if (d.cause != BmpCause::ok) {
    if (ih.biSize == 12) d.cause = BmpCause::unsupportedHeader;
    return d;
  }

  Raster& r = d.raster;
  r.width = width;
  r.height = height;
  r.bits = bits;
  r.xPixelsPerMeter = ih.biXPelsPerMeter;
  r.yPixelsPerMeter = ih.biYPelsPerMeter;
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
  if (!pixels.empty()) return pixels;
  if (status.rowsExpected != want.raster.height || status.rowsRead != want.rowsRead ||
      status.tableExpected != want.tableExpected || status.tableRead != want.tableRead) {
    const auto counts = [](int32_t rows, int32_t ofRows, int32_t entries, int32_t ofEntries) {
      return std::to_string(rows) + " of " + std::to_string(ofRows) + " rows and " + std::to_string(entries) +
             " of " + std::to_string(ofEntries) + " entries";
    };
    return "warnings of " + counts(status.rowsRead, status.rowsExpected, status.tableRead, status.tableExpected) +
           " instead of " + counts(want.rowsRead, want.raster.height, want.tableRead, want.tableExpected);
  }
  return {};
}

std::vector<uint8_t> encode(const Raster& raster) {
  const int bits = raster.bits;
  const size_t w = static_cast<size_t>(raster.width);
  const size_t rowData = (static_cast<size_t>(bits) * w + 7) / 8;
  const size_t rowBytes = rowData + (4 - rowData % 4) % 4;
  const size_t tableBytes = isPaletted(bits) ? 4u << bits : bits == 16 ? 12 : 0;
  const size_t imageBytes = rowBytes * static_cast<size_t>(raster.height);
  std::vector<uint8_t> out;
  putU16(out, kSignature);
  putU32(out, static_cast<uint32_t>(54 + tableBytes + imageBytes));
  putU32(out, 0);  // both reserved fields
  putU32(out, static_cast<uint32_t>(54 + tableBytes));
  putU32(out, 40);
  putU32(out, static_cast<uint32_t>(raster.width));
  putU32(out, static_cast<uint32_t>(raster.height));
  putU16(out, 1);
  putU16(out, static_cast<uint32_t>(bits));
  putU32(out, bits == 16 ? 3 : 0);
  putU32(out, static_cast<uint32_t>(imageBytes));
  putU32(out, static_cast<uint32_t>(raster.xPixelsPerMeter == 0 ? 3780 : raster.xPixelsPerMeter));
  putU32(out, static_cast<uint32_t>(raster.yPixelsPerMeter == 0 ? 3780 : raster.yPixelsPerMeter));
  putU32(out, 0);
  putU32(out, 0);
  for (const BitmapPixel& e : raster.table) out.insert(out.end(), {e.blue, e.green, e.red, e.alpha});
  if (bits == 16) {
    for (uint32_t m : {0xF800u, 0x07E0u, 0x001Fu}) putU32(out, m);
  }
  std::map<uint32_t, uint8_t> found;  // colour -> nearest table index
  for (int32_t y = raster.height - 1; y >= 0; --y) {
    std::vector<uint8_t> row(rowBytes, 0);
    for (size_t x = 0; x < w; ++x) {
      const BitmapPixel p = raster.pixels[x + static_cast<size_t>(y) * w];
      unsigned index = 0;
      if (isPaletted(bits)) {  // the search is pure, so each colour is looked up once
        const uint32_t colour = uint32_t{p.blue} | uint32_t{p.green} << 8 | uint32_t{p.red} << 16;
        const auto [at, added] = found.try_emplace(colour, 0);
        if (added) at->second = nearest(raster.table, p);
        index = at->second;
      }
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

}  // namespace bmpfun::reference
