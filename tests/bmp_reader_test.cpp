// The BMP reader: accepted layouts, every refusal's resulting bitmap, short and odd files.
// Every file is loaded both from disk and from memory, and the two must agree exactly.
#include <bmpfun/bmp.hpp>

#include "base/byte_source.hpp"
#include "bmp/reader.hpp"
#include "support/reference_bmp.hpp"
#include "support/test_support.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <iterator>
#include <thread>

namespace bmpfun {
namespace {

using test::BmpLayout;
using test::makeBmp;
using test::putU16;
using test::putU32;

constexpr BitmapPixel kBlank{255, 255, 255, 0};

using test::px;

struct Loaded {
  bool ok;
  Bitmap bitmap;
};

// Loads bytes from a file and from memory into bitmaps prepared alike; both must agree, and
// do what the reference decoder does (so every hand-made case below checks it too).
Loaded load(const std::vector<uint8_t>& bytes, const Limits& limits = {},
            const std::function<void(Bitmap&)>& prepare = {}) {
  Bitmap fromFile, fromMemory;
  if (prepare) {
    prepare(fromFile);
    prepare(fromMemory);
  }
  test::TempDir dir;
  const std::string path = dir.file("in.bmp");
  test::writeBytes(path, bytes);
  BmpStatus fileStatus, memoryStatus;
  const bool okFile = fromFile.loadFile(path, limits, &fileStatus);
  const bool okMemory = fromMemory.loadMemory(bytes, limits, &memoryStatus);
  EXPECT_EQ(okFile, okMemory);
  EXPECT_EQ(reference::difference(fromFile, fromMemory), "");
  EXPECT_EQ(to_string(fileStatus), to_string(memoryStatus));
  EXPECT_EQ(reference::loadDifference(fromMemory, okMemory, memoryStatus, bytes, limits), "");
  return {okFile, std::move(fromFile)};
}

// A distinctive 3 x 2 bitmap at 16 bits with a set resolution, to see what a load replaces.
void prepareDistinct(Bitmap& b) {
  b.changeBitsPerPixel(16);
  b.resize(3, 2);
  b.pixelRef(1, 1) = px(1, 2, 3, 4);
  b.setPixelsPerMeter(1111, 2222);
}

void expectRejected(const Bitmap& b, int32_t xppm, int32_t yppm, const std::string& what) {
  EXPECT_EQ(b.bitsPerPixel(), 1) << what;
  EXPECT_EQ(b.width(), 1) << what;
  EXPECT_EQ(b.height(), 1) << what;
  EXPECT_EQ(b.pixel(0, 0), kBlank) << what;
  EXPECT_EQ(b.tableColor(0), px(0, 0, 0)) << what;
  EXPECT_EQ(b.tableColor(1), px(255, 255, 255)) << what;
  EXPECT_EQ(b.xPixelsPerMeter(), xppm) << what;
  EXPECT_EQ(b.yPixelsPerMeter(), yppm) << what;
}

void setU32(std::vector<uint8_t>& bytes, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) bytes[at + static_cast<size_t>(i)] = static_cast<uint8_t>(v >> (8 * i));
}

std::vector<uint8_t> withResolution(std::vector<uint8_t> bytes, uint32_t x, uint32_t y) {
  setU32(bytes, 38, x);
  setU32(bytes, 42, y);
  return bytes;
}

TEST(BmpReader, MissingFileAndBadMagic) {
  Bitmap b;
  prepareDistinct(b);
  test::TempDir dir;
  EXPECT_FALSE(b.loadFile(dir.file("missing.bmp")));
  expectRejected(b, 1111, 2222, "missing file");
  EXPECT_FALSE(b.loadFile(dir.path().string()));  // a directory holds no bytes either
  expectRejected(b, 1111, 2222, "directory");

  // A first field that is not "BM" leaves the bitmap exactly as it was. A one-byte file
  // keeps the constructed high byte: "X" is 0x4D58 (bad magic) but "B" completes "BM".
  const std::vector<std::vector<uint8_t>> badMagic = {
      {'X'}, {'M', 'B'}, {'B', 'A', 0, 0, 0, 0}, {'b', 'm'}, {0x42, 0x4E}};
  for (const auto& bytes : badMagic) {
    Loaded l = load(bytes, {}, prepareDistinct);
    EXPECT_FALSE(l.ok);
    Bitmap expected;
    prepareDistinct(expected);
    EXPECT_EQ(reference::difference(l.bitmap, expected), "") << bytes.size() << " bytes";
  }
}

TEST(BmpReader, ShortHeadersAreRejected) {
  const std::vector<uint8_t> good = makeBmp({.width = 1, .height = 1, .bits = 24, .pixelData = {1, 2, 3, 0}});
  // Cut anywhere before the end of the 54 header bytes (including the empty file and "B"):
  // refused, and the resolution is not taken because the header never completed.
  for (size_t cut = 0; cut < 54; ++cut) {
    const std::vector<uint8_t> bytes(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(cut));
    Loaded l = load(bytes, {}, prepareDistinct);
    EXPECT_FALSE(l.ok) << cut;
    expectRejected(l.bitmap, 1111, 2222, "cut at " + std::to_string(cut));
  }
  // 54 header bytes and nothing else: accepted, the pixel stays white.
  Loaded headerOnly = load(std::vector<uint8_t>(good.begin(), good.begin() + 54));
  EXPECT_TRUE(headerOnly.ok);
  EXPECT_EQ(headerOnly.bitmap.pixel(0, 0), kBlank);
}

TEST(BmpReader, FormatRefusalsKeepTheFileResolution) {
  const struct { const char* what; int32_t width, height; uint16_t bits; uint32_t compression; } cases[] = {
      {"compression 3 at 24 bits", 2, 2, 24, 3},  {"compression 3 at 8 bits", 2, 2, 8, 3},
      {"compression 1", 2, 2, 8, 1},              {"compression 2", 2, 2, 4, 2},
      {"compression 4", 2, 2, 24, 4},             {"compression 2^32-1", 2, 2, 24, 0xFFFFFFFFu},
      {"2 bits", 2, 2, 2, 0},                     {"0 bits", 2, 2, 0, 0},
      {"15 bits", 2, 2, 15, 0},                   {"64 bits", 2, 2, 64, 0},
      {"width 0", 0, 2, 24, 0},                   {"height 0", 2, 0, 24, 0},
      {"negative height", 2, -2, 24, 0},          {"negative width", -2, 2, 8, 0},
      {"height -2^31", 2, INT32_MIN, 24, 0},      {"past the pixel limit", 1 << 15, 1 << 14, 24, 0},
      {"both sides near 2^31", INT32_MAX, INT32_MAX, 1, 0},
  };
  for (const auto& c : cases) {
    BmpLayout layout{.width = c.width, .height = c.height, .bits = c.bits, .compression = c.compression};
    layout.pixelData.assign(64, 0x55);
    Loaded l = load(withResolution(makeBmp(layout), 1234, static_cast<uint32_t>(-5)), {}, prepareDistinct);
    EXPECT_FALSE(l.ok) << c.what;
    expectRejected(l.bitmap, 1234, -5, c.what);
  }
  // The limit is the caller's: the same file loads under a larger one.
  Limits small;
  small.maxPixels = 5;
  BmpLayout layout{.width = 3, .height = 2, .bits = 8};
  layout.pixelData.assign(8, 0);
  EXPECT_FALSE(load(makeBmp(layout), small).ok);
  small.maxPixels = 6;
  EXPECT_TRUE(load(makeBmp(layout), small).ok);
}

TEST(BmpReader, RowLayoutsAndOrder) {
  // 24 bits, 3 x 2: rows of 9 data bytes and 3 padding bytes, bottom row first.
  {
    BmpLayout layout{.width = 3, .height = 2, .bits = 24};
    layout.pixelData = {1, 2, 3, 4, 5, 6, 7, 8, 9, 0xEE, 0xEE, 0xEE,
                      11, 12, 13, 14, 15, 16, 17, 18, 19, 0xEE, 0xEE, 0xEE};
    Loaded l = load(makeBmp(layout));
    ASSERT_TRUE(l.ok);
    EXPECT_EQ(l.bitmap.bitsPerPixel(), 24);
    EXPECT_TRUE(l.bitmap.colorTable().empty());
    EXPECT_EQ(l.bitmap.pixel(0, 1), px(1, 2, 3));  // first file row -> bottom row
    EXPECT_EQ(l.bitmap.pixel(2, 1), px(7, 8, 9));
    EXPECT_EQ(l.bitmap.pixel(0, 0), px(11, 12, 13));
    EXPECT_EQ(l.bitmap.pixel(2, 0), px(17, 18, 19));  // alpha 0 for 24 bits
    EXPECT_EQ(l.bitmap.xPixelsPerMeter(), 3780);
  }
  // 32 bits keep the fourth byte as alpha.
  {
    BmpLayout layout{.width = 2, .height = 1, .bits = 32};
    layout.pixelData = {1, 2, 3, 4, 5, 6, 7, 200};
    Loaded l = load(makeBmp(layout));
    ASSERT_TRUE(l.ok);
    EXPECT_EQ(l.bitmap.pixel(0, 0), px(1, 2, 3, 4));
    EXPECT_EQ(l.bitmap.pixel(1, 0), px(5, 6, 7, 200));
  }
  // 1 bit, 9 x 2: rows of 4 bytes, most significant bit first; pixel 8 is bit 7 of byte 1.
  {
    BmpLayout layout{.width = 9, .height = 2, .bits = 1};
    layout.table = {10, 20, 30, 40, 50, 60, 70, 80};
    layout.pixelData = {0b10100000, 0b10000000, 0xFF, 0xFF,  // bottom row: 1 0 1 0 0 0 0 0 1
                      0b01111111, 0b00000000, 0xFF, 0xFF};  // top row: 0 1 1 1 1 1 1 1 0
    Loaded l = load(makeBmp(layout));
    ASSERT_TRUE(l.ok);
    const BitmapPixel c0 = px(10, 20, 30, 40), c1 = px(50, 60, 70, 80);
    const BitmapPixel bottom[9] = {c1, c0, c1, c0, c0, c0, c0, c0, c1};
    const BitmapPixel top[9] = {c0, c1, c1, c1, c1, c1, c1, c1, c0};
    for (int32_t x = 0; x < 9; ++x) {
      EXPECT_EQ(l.bitmap.pixel(x, 1), bottom[x]) << x;
      EXPECT_EQ(l.bitmap.pixel(x, 0), top[x]) << x;
    }
    EXPECT_EQ(l.bitmap.tableColor(1), c1);
  }
  // 4 bits, 3 x 1: row of 4 bytes; pixel 2 is the high nibble of the second byte.
  {
    BmpLayout layout{.width = 3, .height = 1, .bits = 4};
    for (int i = 0; i < 16; ++i) layout.table.insert(layout.table.end(), {uint8_t(i), uint8_t(i * 2), uint8_t(i * 3), 9});
    layout.pixelData = {0x5A, 0xC3, 0xFF, 0xFF};
    Loaded l = load(makeBmp(layout));
    ASSERT_TRUE(l.ok);
    EXPECT_EQ(l.bitmap.pixel(0, 0), px(5, 10, 15, 9));
    EXPECT_EQ(l.bitmap.pixel(1, 0), px(10, 20, 30, 9));
    EXPECT_EQ(l.bitmap.pixel(2, 0), px(12, 24, 36, 9));
  }
  // 8 bits, 5 x 1: 5 data bytes padded to 8.
  {
    BmpLayout layout{.width = 5, .height = 1, .bits = 8};
    for (int i = 0; i < 256; ++i) layout.table.insert(layout.table.end(), {uint8_t(i), uint8_t(255 - i), 7, uint8_t(i ^ 1)});
    layout.pixelData = {0, 1, 128, 254, 255, 0xAA, 0xAA, 0xAA};
    Loaded l = load(makeBmp(layout));
    ASSERT_TRUE(l.ok);
    const int idx[5] = {0, 1, 128, 254, 255};
    for (int32_t x = 0; x < 5; ++x)
      EXPECT_EQ(l.bitmap.pixel(x, 0), px(idx[x], 255 - idx[x], 7, idx[x] ^ 1)) << x;
  }
}

TEST(BmpReader, TruncatedPixelDataKeepsWhiteRows) {
  BmpLayout layout{.width = 2, .height = 3, .bits = 24};
  layout.pixelData = {1, 1, 1, 2, 2, 2, 0, 0,   // row y = 2
                    3, 3, 3, 4, 4};           // row y = 1 cut short
  Loaded l = load(makeBmp(layout));
  ASSERT_TRUE(l.ok);
  EXPECT_EQ(l.bitmap.pixel(0, 2), px(1, 1, 1));
  EXPECT_EQ(l.bitmap.pixel(1, 2), px(2, 2, 2));
  for (int32_t y = 0; y < 2; ++y)
    for (int32_t x = 0; x < 2; ++x) EXPECT_EQ(l.bitmap.pixel(x, y), kBlank) << x << "," << y;
}

// Colour tables, the gap and bfOffBits, including offsets that count as negative.
TEST(BmpReader, TableEntriesFollowBfOffBits) {
  std::vector<uint8_t> table;
  for (int i = 0; i < 256; ++i) table.insert(table.end(), {uint8_t(i), uint8_t(i), uint8_t(i), uint8_t(i)});
  const BitmapPixel entry5 = px(5, 5, 5, 5);

  struct Case {
    const char* what;
    int64_t offBits;
    size_t tableBytesInFile;
    int readEntries;  // entries 0..readEntries-1 come from the file, the rest are white
  };
  const Case cases[] = {
      {"full table", 54 + 1024, 1024, 256},
      {"16 entries, data right after", 54 + 64, 64, 16},
      {"offset below 54", 40, 0, 0},
      {"offset 0", 0, 0, 0},
      {"offset 2^31 is negative", int64_t{1} << 31, 0, 0},
      {"offset 2^32 - 1 is -1", 0xFFFFFFFFll, 0, 0},
      {"offset 55 -> no whole entry", 55, 0, 0},
      {"gap after full table", 54 + 1024 + 10, 1024 + 10, 256},
  };
  for (const auto& c : cases) {
    BmpLayout layout{.width = 1, .height = 1, .bits = 8};
    layout.table.assign(table.begin(), table.begin() + static_cast<std::ptrdiff_t>(std::min<size_t>(c.tableBytesInFile, 1024)));
    layout.table.resize(c.tableBytesInFile, 0xCC);  // gap bytes
    layout.pixelData = {5, 0, 0, 0};
    layout.offBits = c.offBits;
    Loaded l = load(makeBmp(layout));
    ASSERT_TRUE(l.ok) << c.what;
    for (int k = 0; k < 256; ++k) {
      const BitmapPixel want = k < c.readEntries ? px(k, k, k, k) : kBlank;
      ASSERT_EQ(l.bitmap.tableColor(k), want) << c.what << " entry " << k;
    }
    EXPECT_EQ(l.bitmap.pixel(0, 0), c.readEntries > 5 ? entry5 : kBlank) << c.what;
  }
}

TEST(BmpReader, OffsetPastTheEndLeavesPixelsWhite) {
  BmpLayout layout{.width = 2, .height = 1, .bits = 24};
  layout.pixelData = {1, 2, 3, 4, 5, 6, 0, 0};
  for (int64_t off : {int64_t{62}, int64_t{0x7FFFFFFF}, int64_t{1000}}) {
    layout.offBits = off;
    Loaded l = load(makeBmp(layout));
    ASSERT_TRUE(l.ok);
    EXPECT_EQ(l.bitmap.pixel(0, 0), kBlank) << off;
    EXPECT_EQ(l.bitmap.pixel(1, 0), kBlank) << off;
  }
  // A gap that the file does hold is skipped.
  layout.offBits = 58;
  layout.pixelData = {9, 9, 9, 9, 1, 2, 3, 4, 5, 6, 0, 0};
  Loaded l = load(makeBmp(layout));
  EXPECT_EQ(l.bitmap.pixel(0, 0), px(1, 2, 3));
  EXPECT_EQ(l.bitmap.pixel(1, 0), px(4, 5, 6));
}

TEST(BmpReader, ShortTablesKeepDefaultsAndPartialEntries) {
  // 8 bits announcing 3 entries (offset 66) in a file that ends 6 bytes into the table:
  // entry 0 is read, entry 1 gets blue and green from the file and keeps the rest of its
  // default colour (128, 0, 0), entry 2 keeps its default (0, 128, 0), the rest are white.
  BmpLayout layout{.width = 1, .height = 1, .bits = 8, .table = {1, 2, 3, 4, 0x11, 0x22}, .offBits = 66};
  Loaded l = load(makeBmp(layout));
  ASSERT_TRUE(l.ok);
  EXPECT_EQ(l.bitmap.tableColor(0), px(1, 2, 3, 4));
  EXPECT_EQ(l.bitmap.tableColor(1), px(0x11, 0x22, 128, 0));
  EXPECT_EQ(l.bitmap.tableColor(2), px(0, 128, 0, 0));
  EXPECT_EQ(l.bitmap.tableColor(3), kBlank);
  EXPECT_EQ(l.bitmap.pixel(0, 0), kBlank);

  // 1 bit with an offset announcing 3 entries: limited to 2, and the 4 bytes past the full
  // table are a gap.
  BmpLayout one{.width = 1, .height = 1, .bits = 1};
  one.table = {1, 1, 1, 1, 2, 2, 2, 2, 0xCC, 0xCC, 0xCC, 0xCC};
  one.pixelData = {0x80, 0, 0, 0};
  Loaded l1 = load(makeBmp(one));
  EXPECT_EQ(l1.bitmap.pixel(0, 0), px(2, 2, 2, 2));
}

// A 108- or 124-byte info header puts the colour table after itself.
TEST(BmpReader, LongerInfoHeadersCarryTheirTable) {
  const struct { const char* what; uint32_t infoSize; int64_t offBits; size_t tableAt; bool fromHeaderEnd; } cases[] = {
      {"108-byte header", 108, 14 + 108 + 64, 122, true},
      {"124-byte header", 124, 14 + 124 + 64, 138, true},
      {"124-byte header and a gap", 124, 14 + 124 + 64 + 8, 138, true},
      // Where the header would not fit before the data, the table is read at 54 as always:
      // the entries written after the header are not found.
      {"header longer than the offset: old rule", 108, 100, 122, false},
      {"absurd biSize: old rule", 0xFFFFFFF0u, 54 + 64, 122, false},
  };
  for (const auto& c : cases) {
    BmpLayout layout{.width = 2, .height = 1, .bits = 4, .infoSize = c.infoSize};
    layout.offBits = c.offBits;
    std::vector<uint8_t> after(static_cast<size_t>(std::max<int64_t>(c.offBits, 54 + 64)) - 54, 0xAB);
    for (size_t i = 0; i < 16; ++i) {
      const size_t at = c.tableAt - 54 + 4 * i;
      if (at + 4 <= after.size()) {
        after[at] = uint8_t(i); after[at + 1] = uint8_t(100 + i); after[at + 2] = uint8_t(200 + i); after[at + 3] = 0;
      }
    }
    layout.table = after;
    layout.pixelData = {0x3F, 0, 0, 0};
    Loaded l = load(makeBmp(layout));
    ASSERT_TRUE(l.ok) << c.what;
    if (c.fromHeaderEnd) {
      EXPECT_EQ(l.bitmap.tableColor(3), px(3, 103, 203)) << c.what;
      EXPECT_EQ(l.bitmap.tableColor(15), px(15, 115, 215)) << c.what;
      EXPECT_EQ(l.bitmap.pixel(0, 0), px(3, 103, 203)) << c.what;
      EXPECT_EQ(l.bitmap.pixel(1, 0), px(15, 115, 215)) << c.what;
    } else {
      EXPECT_EQ(l.bitmap.tableColor(0), px(0xAB, 0xAB, 0xAB, 0xAB)) << c.what;
    }
  }
  // Masks of a 16-bit file with a longer header stay at offset 54.
  BmpLayout layout{.width = 1, .height = 1, .bits = 16, .compression = 3, .infoSize = 108};
  layout.table.assign(108 - 40, 0);
  for (uint32_t m : {0xF800u, 0x07E0u, 0x001Fu}) {
    std::vector<uint8_t> mask;
    putU32(mask, m);
    std::copy(mask.begin(), mask.end(), layout.table.begin() + (m == 0xF800u ? 0 : m == 0x07E0u ? 4 : 8));
  }
  layout.pixelData = {0xE0, 0x07, 0, 0};  // all six green bits
  Loaded l = load(makeBmp(layout));
  ASSERT_TRUE(l.ok);
  EXPECT_EQ(l.bitmap.pixel(0, 0), px(0, 248, 0));
}

TEST(BmpReader, SixteenBitMasksAndScaling) {
  std::vector<uint8_t> masks565, masksOdd, masksZero, masksAll;
  for (uint32_t m : {0xABCDF800u, 0x000007E0u, 0xFFFF001Fu}) putU32(masks565, m);  // upper halves ignored
  for (uint32_t m : {0x0000u, 0xFFFFu, 0x0003u}) putU32(masksOdd, m);
  const struct { const char* what; uint32_t compression; std::vector<uint8_t> masks; uint16_t value; BitmapPixel want; } cases[] = {
      {"555 white", 0, {}, 0x7FFF, px(248, 248, 248)},
      {"555 red", 0, {}, 0x7C00, px(0, 0, 248)},
      {"555 top bit unused", 0, {}, 0x8000, px(0, 0, 0)},
      {"555 one unit each", 0, {}, 0x0421, px(8, 8, 8)},
      {"565 white", 3, masks565, 0xFFFF, px(248, 248, 248)},
      {"565 lowest green bit", 3, masks565, 0x0020, px(0, 0, 0)},
      {"565 second green bit", 3, masks565, 0x0040, px(0, 8, 0)},
      {"565 red", 3, masks565, 0xF800, px(0, 0, 248)},
      {"red mask 0, green 0xFFFF, blue 3", 3, masksOdd, 0xFFFF, px(24, 248, 0)},
      {"green 0xFFFF shifts by 11", 3, masksOdd, 0x0800, px(0, 8, 0)},
  };
  for (const auto& c : cases) {
    BmpLayout layout{.width = 3, .height = 1, .bits = 16, .compression = c.compression, .table = c.masks};
    layout.pixelData = {uint8_t(c.value), uint8_t(c.value >> 8), 0, 0, 0x00, 0x80, 0xEE, 0xEE};
    Loaded l = load(makeBmp(layout));
    ASSERT_TRUE(l.ok) << c.what;
    EXPECT_EQ(l.bitmap.bitsPerPixel(), 16);
    EXPECT_EQ(l.bitmap.pixel(0, 0), c.want) << c.what;
    EXPECT_EQ(l.bitmap.pixel(0, 0).alpha, 0) << c.what;
  }
  // Compression 0 with a 12-byte gap (for example masks the header does not announce).
  BmpLayout gap{.width = 1, .height = 1, .bits = 16};
  gap.table.assign(12, 0x99);
  gap.pixelData = {0x1F, 0x00, 0, 0};
  EXPECT_EQ(load(makeBmp(gap)).bitmap.pixel(0, 0), px(248, 0, 0));
  // Compression 3 with a gap after the masks.
  BmpLayout gap3{.width = 1, .height = 1, .bits = 16, .compression = 3, .table = masks565};
  gap3.table.insert(gap3.table.end(), {0x99, 0x99, 0x99, 0x99});
  gap3.pixelData = {0x1F, 0x00, 0, 0};
  EXPECT_EQ(load(makeBmp(gap3)).bitmap.pixel(0, 0), px(248, 0, 0));
}

TEST(BmpReader, SixteenBitDataEndingEarly) {
  // 3 x 2 at 16 bits: rows of 6 data bytes and 2 padding bytes. Every cut point: pixels
  // present whole are decoded, the pixel cut in half and everything after stay white.
  std::vector<uint8_t> data;
  for (int y = 0; y < 2; ++y) {
    for (int x = 0; x < 3; ++x) putU16(data, static_cast<uint16_t>(0x0421 * (1 + x + 3 * y)));
    data.insert(data.end(), {0, 0});
  }
  for (size_t cut = 0; cut <= data.size(); ++cut) {
    BmpLayout layout{.width = 3, .height = 2, .bits = 16};
    layout.pixelData.assign(data.begin(), data.begin() + static_cast<std::ptrdiff_t>(cut));
    Loaded l = load(makeBmp(layout));
    ASSERT_TRUE(l.ok);
    for (int k = 0; k < 6; ++k) {
      const int fileRow = k / 3, x = k % 3;
      const size_t end = static_cast<size_t>(fileRow) * 8 + static_cast<size_t>(x) * 2 + 2;
      const auto v = static_cast<uint8_t>(8 * (1 + k));
      const BitmapPixel want = end <= cut ? px(v, v, v) : kBlank;
      EXPECT_EQ(l.bitmap.pixel(x, 1 - fileRow), want) << "cut " << cut << " pixel " << k;
    }
  }
}

// The reader runs over streams that cannot seek too (the gap is then read through).
TEST(BmpReader, LoadsFromAPipe) {
  BmpLayout layout{.width = 2, .height = 1, .bits = 24, .offBits = 54 + 40000};
  layout.table.assign(40000, 0x77);
  layout.pixelData = {1, 2, 3, 4, 5, 6, 0, 0};
  const std::vector<uint8_t> bytes = makeBmp(layout);
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  ASSERT_EQ(write(fds[1], bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  close(fds[1]);
  Bitmap b;
  EXPECT_TRUE(b.loadFile("/dev/fd/" + std::to_string(fds[0])));
  close(fds[0]);
  EXPECT_EQ(b.pixel(0, 0), px(1, 2, 3));
  EXPECT_EQ(b.pixel(1, 0), px(4, 5, 6));
}

// Header inspection refuses a file that does not start with "BM", from a path and from bytes
// alike, and still fills the records; a file too short for the signature is cut short, and one
// that holds "BM" is not refused however short it is.
TEST(HeaderInspection, AFileWithoutTheSignatureIsRefused) {
  std::vector<uint8_t> text(60, 'x');
  text[0] = 'h';
  const struct { const char* what; std::vector<uint8_t> bytes; BmpCause cause; int32_t width; } cases[] = {
      {"empty", {}, BmpCause::headerCut, 0},
      {"\"B\"", {'B'}, BmpCause::headerCut, 0},
      {"\"BM\"", {'B', 'M'}, BmpCause::ok, 0},
      {"whole headers", makeBmp({.width = 3, .height = 2, .bits = 24}), BmpCause::ok, 3},
      {"\"X\"", {'X'}, BmpCause::notBmp, 0},
      {"text", text, BmpCause::notBmp, 0x78787878},
  };
  test::TempDir dir;
  for (const auto& c : cases) {
    test::writeBytes(dir.file("in"), c.bytes);
    BmpStatus fromFile, fromMemory;
    for (const BmpHeaders& h : {readHeadersOf(dir.file("in"), &fromFile), readHeadersOf(c.bytes, &fromMemory)}) {
      EXPECT_EQ(h.info.biWidth, c.width) << c.what;
    }
    EXPECT_EQ(fromFile.cause, c.cause) << c.what << ": " << to_string(fromFile);
    EXPECT_EQ(fromMemory.cause, c.cause) << c.what << ": " << to_string(fromMemory);
  }
}

// A skip passes every byte the file holds and marks the end only past the last one, whatever
// size the system reports: a FIFO reports none, a file under /proc 0, a file that grew after
// it was opened its old size.
TEST(ByteSource, SkipsPassEveryByteTheFileHolds) {
  enum class Kind { regular, fifo, grown };
  const struct { const char* what; Kind kind; uint64_t skip, passed; bool eof; int next; } cases[] = {
      {"within", Kind::regular, 4, 4, false, '4'},
      {"to the end", Kind::regular, 10, 10, false, -1},
      {"one past the end", Kind::regular, 11, 10, true, -1},
      {"far past the end", Kind::regular, uint64_t{1} << 40, 10, true, -1},
      {"FIFO: within", Kind::fifo, 4, 4, false, '4'},
      {"FIFO: to the end", Kind::fifo, 10, 10, false, -1},
      {"FIFO: past the end", Kind::fifo, 11, 10, true, -1},
      {"grown: into the bytes added after the open", Kind::grown, 15, 15, false, 'f'},
      {"grown: past them", Kind::grown, 21, 20, true, -1},
  };
  test::TempDir dir;
  int k = 0;
  for (const auto& c : cases) {
    const std::string path = dir.file("source" + std::to_string(k++));
    std::thread writer;
    if (c.kind == Kind::fifo) {
      ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
      // Opening a FIFO for writing waits for its reader; ten bytes are one atomic write.
      writer = std::thread([path] {
        const int fd = ::open(path.c_str(), O_WRONLY);
        if (fd >= 0 && ::write(fd, "0123456789", 10) == 10) ::close(fd);
      });
    } else {
      test::writeBytes(path, {'0', '1', '2', '3', '4', '5', '6', '7', '8', '9'});
    }
    {
      detail::FileSource source(path);
      EXPECT_TRUE(source.isOpen()) << c.what;
      if (c.kind == Kind::grown) {
        std::ofstream(path, std::ios::binary | std::ios::app) << "abcdefghij";
      }
      EXPECT_EQ(source.skip(c.skip), c.passed) << c.what;
      EXPECT_EQ(source.eof(), c.eof) << c.what;
      EXPECT_EQ(source.offset(), c.passed) << c.what;
      uint8_t next = 0;
      EXPECT_EQ(source.read(&next, 1), c.next >= 0 ? 1u : 0u) << c.what;
      if (c.next >= 0) EXPECT_EQ(next, c.next) << c.what;
    }
    if (writer.joinable()) writer.join();
  }
  // A file under /proc reports 0 bytes but holds some.
  std::ifstream cmdline("/proc/self/cmdline", std::ios::binary);
  const std::string all{std::istreambuf_iterator<char>(cmdline), std::istreambuf_iterator<char>()};
  ASSERT_GT(all.size(), 1u);
  detail::FileSource proc("/proc/self/cmdline");
  EXPECT_EQ(proc.skip(all.size() - 1), all.size() - 1);
  EXPECT_FALSE(proc.eof());
  char last = 'x';
  EXPECT_EQ(proc.read(&last, 1), 1u);
  EXPECT_EQ(last, all.back());
}

}  // namespace
}  // namespace bmpfun
