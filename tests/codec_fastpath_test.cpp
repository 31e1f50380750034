// The reader's and writer's fast paths (chunked reads and writes, word-at-a-time row loops,
// the unpainted grid, the nearest-colour cache, the byte swap of Image load and save) against
// the plain reference decoder and encoder of the test support (support/reference_bmp.hpp):
// outcome, cause, warnings, bitmap and written bytes. Thousands of random files and
// bitmaps: every depth, masks, odd widths (so padding varies), short and long tables, longer
// info headers, gaps, cut-off files, top-down heights, and rows past the chunk size.
#include <bmpfun/bmp.hpp>
#include <bmpfun/image.hpp>

#include "support/reference_bmp.hpp"
#include "support/test_support.hpp"

#include <gtest/gtest.h>

#include <random>
#include <vector>

namespace bmpfun {
namespace {

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

TEST(CodecFastPath, ReaderMatchesReferenceOnRandomFiles) {
  std::mt19937 rng(20240611);
  for (int i = 0; i < 3000; ++i) {
    const std::vector<uint8_t> file = randomFile(rng, false);
    Bitmap bitmap;
    BmpStatus status;
    const bool loaded = bitmap.loadMemory(file, {}, &status);
    ASSERT_EQ(reference::loadDifference(bitmap, loaded, status, file), "") << "file " << i;
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
    BmpStatus status;
    const bool loaded = bitmap.loadFile(path, {}, &status);
    ASSERT_EQ(reference::loadDifference(bitmap, loaded, status, file), "") << "large file " << i;
  }
}

// ---- writer

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
    ASSERT_EQ(test::readBytes(path), reference::encode(reference::rasterOf(b)))
        << "bitmap " << i << ", " << b.bitsPerPixel() << " bits, " << b.width() << " x " << b.height();
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
    const reference::Decoded want = reference::decode(file);
    auto image = Image::load(in);
    ASSERT_EQ(image != nullptr, want.cause == BmpCause::ok) << "file " << i;
    if (!image) continue;
    ASSERT_EQ(test::pixelsOf(*image), reference::rgbaOf(want.raster)) << "file " << i;
    for (Pixel& p : image->pixels()) p.a = static_cast<uint8_t>(p.r ^ p.b);  // alpha the file cannot hold
    ASSERT_TRUE(image->save(out));
    ASSERT_EQ(test::readBytes(out), reference::encode(reference::rasterOf(*image))) << "file " << i;
    std::vector<uint8_t> inMemory;
    ASSERT_TRUE(image->saveMemory(inMemory));
    ASSERT_EQ(inMemory, test::readBytes(out)) << "file " << i;
  }
}

}  // namespace
}  // namespace bmpfun
