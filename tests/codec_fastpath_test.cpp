// The reader's and writer's fast paths (chunked reads and writes, word-at-a-time row loops,
// the unpainted grid, the nearest-colour cache, the byte swap of Image load and save) against
// a plain reference written straight from the file rules: a byte cursor with the C stream's
// end-of-file behaviour, one row and one pixel at a time. Thousands of random files and
// bitmaps: every depth, masks, odd widths (so padding varies), short and long tables, longer
// info headers, gaps, cut-off files, top-down heights, and rows past the chunk size.
#include <bmpfun/bmp.hpp>
#include <bmpfun/image.hpp>

#include "bmp/reader.hpp"
#include "support/test_support.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <random>
#include <vector>

namespace bmpfun {
namespace {

constexpr BitmapPixel kWhite0{255, 255, 255, 0};

// Bytes with fread's rules: a read past the end delivers what is left and sets the
// end-of-file flag; a guarded read does nothing once the flag is set.
struct Cursor {
  const std::vector<uint8_t>& bytes;
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
    uint64_t old = static_cast<uint64_t>(v);
    for (size_t i = 0; i < sizeof(T); ++i) b[i] = static_cast<uint8_t>(old >> (8 * i));
    const bool ok = !eof && read(b, sizeof(T)) == sizeof(T);
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

struct Decoded {
  int32_t width = 0, height = 0, bits = 0;
  std::vector<BitmapPixel> table, pixels;  // pixels row-major, row 0 at the top
};

std::vector<BitmapPixel> defaultTable(int bits) {
  Bitmap b;
  b.changeBitsPerPixel(bits);
  return b.colorTable();
}

// The reader, from the rules. Empty when the file is refused.
std::optional<Decoded> referenceLoad(const std::vector<uint8_t>& file) {
  Cursor in{file};
  uint16_t type = 19778, planes = 0, bits = 0;
  uint32_t size = 0, offBits = 0, biSize = 0, compression = 0, u32 = 0;
  uint16_t reserved = 0;
  int32_t width = 0, height = 0, ppm = 0;
  bool ok = in.field(type);
  if (type != 19778) return std::nullopt;
  ok = in.field(size) && ok;
  ok = in.field(reserved) && ok;
  ok = in.field(reserved) && ok;
  ok = in.field(offBits) && ok;
  ok = in.field(biSize) && ok;
  ok = in.field(width) && ok;
  ok = in.field(height) && ok;
  ok = in.field(planes) && ok;
  ok = in.field(bits) && ok;
  ok = in.field(compression) && ok;
  ok = in.field(u32) && ok;  // biSizeImage
  for (int i = 0; i < 2; ++i) ok = in.field(ppm) && ok;
  for (int i = 0; i < 2; ++i) ok = in.field(u32) && ok;  // biClrUsed, biClrImportant
  const bool paletted = bits == 1 || bits == 4 || bits == 8;
  if (!ok || !(compression == 0 || (compression == 3 && bits == 16)) ||
      !(paletted || bits == 16 || bits == 24 || bits == 32) || width <= 0 || height <= 0) {
    return std::nullopt;
  }
  Decoded d;
  d.width = width;
  d.height = height;
  d.bits = bits;
  const int64_t off = static_cast<int32_t>(offBits);
  int64_t tableStart = 54;
  if (paletted && biSize > 40 && 14 + int64_t{biSize} <= off) {
    tableStart = 14 + int64_t{biSize};
    in.skip(tableStart - 54);
  }
  int64_t gap = off - tableStart;
  if (paletted) {
    d.table = defaultTable(bits);
    const int64_t count = int64_t{1} << bits;
    const int64_t entries = std::min((off - tableStart) / 4, count);
    for (int64_t k = 0; k < count; ++k) {
      BitmapPixel& e = d.table[static_cast<size_t>(k)];
      if (k >= entries) {
        e = kWhite0;
        continue;
      }
      uint8_t raw[4] = {e.blue, e.green, e.red, e.alpha};
      if (!in.eof) in.read(raw, 4);
      e = BitmapPixel{raw[0], raw[1], raw[2], raw[3]};
    }
    gap -= 4 * count;
  } else if (compression == 3) {
    gap -= 12;
  }
  uint16_t masks[3] = {0x7C00, 0x03E0, 0x001F};  // red, green, blue
  if (bits == 16 && compression == 3) {
    for (uint16_t& m : masks) {
      uint16_t discard = 0;
      in.field(m);
      in.field(discard);
    }
  }
  in.skip(gap);
  int shift[3] = {0, 0, 0};
  for (int c = 0; c < 3; ++c) {
    for (uint16_t m = masks[c]; m > 31; m = static_cast<uint16_t>(m >> 1)) ++shift[c];
  }

  d.pixels.assign(static_cast<size_t>(width) * static_cast<size_t>(height), kWhite0);
  const size_t rowBytes = (static_cast<size_t>(bits) * static_cast<size_t>(width) + 31) / 32 * 4;
  std::vector<uint8_t> row(rowBytes);
  for (int32_t y = height - 1; y >= 0; --y) {
    const size_t got = in.read(row.data(), rowBytes);
    if (got < rowBytes && bits != 16) break;
    for (int32_t x = 0; x < width; ++x) {
      const auto ux = static_cast<size_t>(x);
      BitmapPixel& p = d.pixels[ux + static_cast<size_t>(y) * static_cast<size_t>(width)];
      if (bits == 1) p = d.table[(row[ux / 8] >> (7 - ux % 8)) & 1];
      if (bits == 4) p = d.table[ux % 2 == 0 ? row[ux / 2] >> 4 : row[ux / 2] & 15];
      if (bits == 8) p = d.table[row[ux]];
      if (bits == 24) p = BitmapPixel{row[3 * ux], row[3 * ux + 1], row[3 * ux + 2], 0};
      if (bits == 32) p = BitmapPixel{row[4 * ux], row[4 * ux + 1], row[4 * ux + 2], row[4 * ux + 3]};
      if (bits == 16) {
        if (2 * ux + 2 > got) break;
        const unsigned v = row[2 * ux] | (row[2 * ux + 1] << 8);
        const auto channel = [&](int c) { return static_cast<uint8_t>(((v & masks[c]) >> shift[c]) * 8); };
        p = BitmapPixel{channel(2), channel(1), channel(0), 0};
      }
    }
    if (got < rowBytes) break;
  }
  return d;
}

// A random file: any depth and masks, table of any length, longer info header, gap, random
// row bytes (padding included), sometimes cut short or top-down.
std::vector<uint8_t> randomFile(std::mt19937& rng, bool big) {
  const auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
  static constexpr uint16_t kDepths[] = {1, 4, 8, 16, 16, 24, 32};
  test::BmpLayout layout;
  layout.bits = kDepths[pick(0, 6)];
  layout.width = big ? pick(1000, 1100) : pick(1, 70);
  layout.height = big ? pick(80, 300) : pick(1, 6);
  if (big && pick(0, 3) == 0) {  // rows longer than a read chunk
    layout.width = pick(90000, 100000);
    layout.height = pick(1, 3);
  }
  const auto bytes = [&](size_t n) {
    std::vector<uint8_t> v(n);
    for (auto& b : v) b = static_cast<uint8_t>(rng());
    return v;
  };
  const bool paletted = layout.bits <= 8;
  if (paletted) {
    if (pick(0, 4) == 0) layout.infoSize = 108;  // a longer header: its extra bytes come first
    const int count = 1 << layout.bits;
    const int entries = pick(0, 2) == 0 ? pick(0, count) : count;
    layout.table = bytes(static_cast<size_t>(layout.infoSize - 40) + 4 * static_cast<size_t>(entries));
  } else if (layout.bits == 16 && pick(0, 1) == 0) {
    layout.compression = 3;
    for (int c = 0; c < 3; ++c) {
      const uint32_t mask = pick(0, 2) == 0 ? static_cast<uint32_t>(rng()) : (0xF800u >> (5 * c + (c > 0)));
      test::putU32(layout.table, mask);
    }
  }
  std::vector<uint8_t> gap = bytes(static_cast<size_t>(pick(0, 2) == 0 ? pick(1, 9) : 0));
  layout.table.insert(layout.table.end(), gap.begin(), gap.end());
  if (pick(0, 9) == 0) layout.offBits = pick(0, 1) == 0 ? pick(0, 60) : pick(0, 2000);  // odd offsets
  const size_t rowBytes = (size_t{layout.bits} * static_cast<size_t>(layout.width) + 31) / 32 * 4;
  layout.pixelData = bytes(rowBytes * static_cast<size_t>(layout.height));
  if (pick(0, 9) == 0) layout.height = -layout.height;  // top-down: refused
  std::vector<uint8_t> file = test::makeBmp(layout);
  if (pick(0, 2) == 0) file.resize(static_cast<size_t>(pick(0, static_cast<int>(file.size()))));
  return file;
}

void expectLoadsLikeReference(const Bitmap& bitmap, bool loaded, const std::vector<uint8_t>& file,
                              const std::string& what) {
  const std::optional<Decoded> want = referenceLoad(file);
  ASSERT_EQ(loaded, want.has_value()) << what;
  if (!want) return;
  ASSERT_EQ(bitmap.width(), want->width) << what;
  ASSERT_EQ(bitmap.height(), want->height) << what;
  ASSERT_EQ(bitmap.bitsPerPixel(), want->bits) << what;
  ASSERT_EQ(bitmap.colorTable(), want->table) << what;
  const size_t n = want->pixels.size();
  const auto mismatch = std::mismatch(bitmap.data(), bitmap.data() + n, want->pixels.begin());
  EXPECT_EQ(mismatch.first, bitmap.data() + n)
      << what << ": first different pixel " << (mismatch.first - bitmap.data()) << " of " << want->width << " x "
      << want->height << " at " << want->bits << " bits: " << int{mismatch.first->blue} << ","
      << int{mismatch.first->green} << "," << int{mismatch.first->red} << "," << int{mismatch.first->alpha}
      << " instead of " << int{mismatch.second->blue} << "," << int{mismatch.second->green} << ","
      << int{mismatch.second->red} << "," << int{mismatch.second->alpha};
}

TEST(CodecFastPath, ReaderMatchesReferenceOnRandomFiles) {
  std::mt19937 rng(20240611);
  for (int i = 0; i < 3000; ++i) {
    const std::vector<uint8_t> file = randomFile(rng, false);
    Bitmap bitmap;
    const bool loaded = bitmap.loadMemory(file);
    expectLoadsLikeReference(bitmap, loaded, file, "file " + std::to_string(i));
    if (HasFailure()) return;
  }
}

// Files of several read chunks (and rows longer than a chunk) through the file path.
TEST(CodecFastPath, ReaderMatchesReferenceOnLargeFiles) {
  test::TempDir dir;
  std::mt19937 rng(77);
  for (int i = 0; i < 24; ++i) {
    const std::vector<uint8_t> file = randomFile(rng, true);
    const std::string path = dir.file("big.bmp");
    test::writeBytes(path, file);
    Bitmap bitmap;
    const bool loaded = bitmap.loadFile(path);
    expectLoadsLikeReference(bitmap, loaded, file, "large file " + std::to_string(i));
    if (HasFailure()) return;
  }
}

// ---- writer

uint8_t referenceNearest(const std::vector<BitmapPixel>& table, BitmapPixel p) {
  int best = 999999, result = 0;
  for (size_t k = 0; k < table.size(); ++k) {
    const int db = table[k].blue - p.blue, dg = table[k].green - p.green, dr = table[k].red - p.red;
    const int d = db * db + dg * dg + dr * dr;
    if (d < best) {
      best = d;
      result = static_cast<int>(k);
      if (best == 0) break;
    }
  }
  return static_cast<uint8_t>(result);
}

// The writer, from the rules.
std::vector<uint8_t> referenceSave(const Bitmap& b) {
  const int bits = b.bitsPerPixel();
  const size_t w = static_cast<size_t>(b.width());
  const size_t rowData = (static_cast<size_t>(bits) * w + 7) / 8;
  const size_t rowBytes = rowData + (4 - rowData % 4) % 4;
  const size_t tableBytes = bits <= 8 ? 4u << bits : bits == 16 ? 12 : 0;
  const size_t imageBytes = rowBytes * static_cast<size_t>(b.height());
  std::vector<uint8_t> out;
  test::putU16(out, 19778);
  test::putU32(out, static_cast<uint32_t>(54 + tableBytes + imageBytes));
  test::putU32(out, 0);
  test::putU32(out, static_cast<uint32_t>(54 + tableBytes));
  test::putU32(out, 40);
  test::putU32(out, static_cast<uint32_t>(b.width()));
  test::putU32(out, static_cast<uint32_t>(b.height()));
  test::putU16(out, 1);
  test::putU16(out, static_cast<uint16_t>(bits));
  test::putU32(out, bits == 16 ? 3 : 0);
  test::putU32(out, static_cast<uint32_t>(imageBytes));
  test::putU32(out, static_cast<uint32_t>(b.xPixelsPerMeter() == 0 ? 3780 : b.xPixelsPerMeter()));
  test::putU32(out, static_cast<uint32_t>(b.yPixelsPerMeter() == 0 ? 3780 : b.yPixelsPerMeter()));
  test::putU32(out, 0);
  test::putU32(out, 0);
  for (const BitmapPixel& e : b.colorTable()) out.insert(out.end(), {e.blue, e.green, e.red, e.alpha});
  if (bits == 16) {
    for (uint32_t m : {0xF800u, 0x07E0u, 0x001Fu}) test::putU32(out, m);
  }
  for (int32_t y = b.height() - 1; y >= 0; --y) {
    std::vector<uint8_t> row(rowBytes, 0);
    for (size_t x = 0; x < w; ++x) {
      const BitmapPixel p = b.pixel(static_cast<int32_t>(x), y);
      const unsigned index = bits <= 8 ? referenceNearest(b.colorTable(), p) : 0;
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

// A random bitmap: any depth, table default or random, colours from the table, near it or
// anywhere, random alpha, resolution set or not.
Bitmap randomBitmap(std::mt19937& rng, bool big) {
  const auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
  static constexpr int kDepths[] = {1, 4, 8, 16, 24, 32};
  Bitmap b;
  b.changeBitsPerPixel(kDepths[pick(0, 5)]);
  const int32_t width = big ? pick(1000, 1100) : pick(1, 70);
  EXPECT_TRUE(b.resize(width, big ? pick(100, 200) : pick(1, 5)));
  if (pick(0, 1) == 0) b.setPixelsPerMeter(pick(0, 5000), pick(0, 5000));
  const bool randomTable = pick(0, 1) == 0;
  for (int32_t k = 0; randomTable && k < static_cast<int32_t>(b.colorTable().size()); ++k) {
    b.setTableColor(k, BitmapPixel{static_cast<uint8_t>(pick(0, 255)), static_cast<uint8_t>(pick(0, 255)),
                                   static_cast<uint8_t>(pick(0, 255)), static_cast<uint8_t>(pick(0, 255))});
  }
  const std::vector<BitmapPixel>& table = b.colorTable();
  const int palette = pick(1, 40);  // few colours make runs and cache hits, many make misses
  std::vector<BitmapPixel> colours;
  for (int k = 0; k < palette; ++k) {
    BitmapPixel c{static_cast<uint8_t>(rng()), static_cast<uint8_t>(rng()), static_cast<uint8_t>(rng()),
                  static_cast<uint8_t>(rng())};
    if (!table.empty() && pick(0, 1) == 0) {
      c = table[static_cast<size_t>(pick(0, static_cast<int>(table.size()) - 1))];
      c.green = static_cast<uint8_t>(c.green + pick(-2, 2));  // on or next to an entry
      c.alpha = static_cast<uint8_t>(rng());
    }
    colours.push_back(c);
  }
  for (int32_t y = 0; y < b.height(); ++y) {
    for (int32_t x = 0; x < width; ++x) {
      b.putPixel(x, y, colours[static_cast<size_t>(pick(0, palette - 1))]);
    }
  }
  return b;
}

TEST(CodecFastPath, WriterMatchesReferenceOnRandomBitmaps) {
  test::TempDir dir;
  std::mt19937 rng(4711);
  for (int i = 0; i < 1500; ++i) {
    const bool big = i % 100 == 0;  // several write chunks
    const Bitmap b = randomBitmap(rng, big);
    const std::string path = dir.file("out.bmp");
    ASSERT_TRUE(b.saveFile(path));
    ASSERT_EQ(test::readBytes(path), referenceSave(b)) << "bitmap " << i << ", " << b.bitsPerPixel() << " bits, "
                                                       << b.width() << " x " << b.height();
  }
}

// Image::load reads each pixel as red, green, blue, alpha; Image::save writes 24 bits, the
// same bytes as a 24-bit bitmap holding the pixels and the file's resolution, and so does
// Image::saveMemory.
TEST(CodecFastPath, ImageLoadAndSaveMatchReference) {
  test::TempDir dir;
  std::mt19937 rng(99);
  for (int i = 0; i < 300; ++i) {
    const std::vector<uint8_t> file = randomFile(rng, i % 50 == 0);
    const std::string in = dir.file("in.bmp"), out = dir.file("out.bmp");
    test::writeBytes(in, file);
    const std::optional<Decoded> want = referenceLoad(file);
    auto image = Image::load(in);
    ASSERT_EQ(image != nullptr, want.has_value()) << "file " << i;
    if (!image) continue;
    for (size_t k = 0; k < want->pixels.size(); ++k) {
      const BitmapPixel& p = want->pixels[k];
      const Pixel& q = image->pixels()[k];
      ASSERT_TRUE(q.r == p.red && q.g == p.green && q.b == p.blue && q.a == p.alpha) << "file " << i << " pixel " << k;
    }
    for (Pixel& p : image->pixels()) p.a = static_cast<uint8_t>(p.r ^ p.b);  // alpha the file cannot hold
    ASSERT_TRUE(image->save(out));
    Bitmap expected;
    ASSERT_TRUE(expected.resize(image->width(), image->height()));
    for (int32_t y = 0; y < image->height(); ++y) {
      for (int32_t x = 0; x < image->width(); ++x) {
        const Pixel& p = image->pixel(x, y);
        expected.putPixel(x, y, BitmapPixel{p.b, p.g, p.r, p.a});
      }
    }
    expected.setPixelsPerMeter(image->xPixelsPerMeter(), image->yPixelsPerMeter());
    ASSERT_EQ(test::readBytes(out), referenceSave(expected)) << "file " << i;
    std::vector<uint8_t> inMemory;
    ASSERT_TRUE(image->saveMemory(inMemory));
    ASSERT_EQ(inMemory, test::readBytes(out)) << "file " << i;
  }
}

}  // namespace
}  // namespace bmpfun
