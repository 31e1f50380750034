// Hostile BMP files: extreme header values, sizes whose products wrap in 32 bits, offsets and
// header lengths near 2^32, short tables, odd 16-bit masks, files cut at every byte. Each case
// has its exact result; a few go through Image::load and the command-line program as well.
#include <bmpfun/bmp.hpp>
#include <bmpfun/image.hpp>

#include "bmp/reader.hpp"
#include "support/reference_bmp.hpp"
#include "support/test_support.hpp"

#include <gtest/gtest.h>

#include <climits>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

namespace bmpfun {
namespace {

using test::BmpLayout;
using test::makeBmp;
using test::putU32;

constexpr BitmapPixel kBlank{255, 255, 255, 0};

using test::px;

std::vector<uint8_t> words(std::initializer_list<uint32_t> values) {
  std::vector<uint8_t> out;
  for (uint32_t v : values) putU32(out, v);
  return out;
}

// 2^bits distinct table entries: entry k is (k, 255 - k, k / 2, k ^ 0x5A).
std::vector<uint8_t> fullTable(int bits) {
  std::vector<uint8_t> t;
  for (int k = 0; k < (1 << bits); ++k)
    t.insert(t.end(), {uint8_t(k), uint8_t(255 - k), uint8_t(k / 2), uint8_t(k ^ 0x5A)});
  return t;
}
BitmapPixel fullTableEntry(int k) { return px(k, 255 - k, k / 2, k ^ 0x5A); }

BmpLayout layout(int32_t width, int32_t height, uint16_t bits, std::vector<uint8_t> pixelData = {},
             std::vector<uint8_t> table = {}, int64_t offBits = -1, uint32_t compression = 0) {
  BmpLayout s{.width = width, .height = height, .bits = bits, .compression = compression};
  s.table = std::move(table);
  s.pixelData = std::move(pixelData);
  s.offBits = offBits;
  return s;
}

struct Probe {
  int32_t x, y;
  BitmapPixel want;
};

struct Case {
  const char* name;
  std::vector<uint8_t> bytes;
  bool loads;
  int32_t bits = 0, width = 0, height = 0;  // when loaded
  std::vector<Probe> pixels = {};           // when loaded; every other pixel must be white
  std::vector<std::pair<int, BitmapPixel>> entries = {};  // table entries to check
  int64_t maxPixels = Limits::kDefaultMaxPixels;
};

Case refusedCase(const char* name, const BmpLayout& s, int64_t maxPixels = Limits::kDefaultMaxPixels) {
  return {name, makeBmp(s), false, 0, 0, 0, {}, {}, maxPixels};
}

std::vector<uint8_t> withInfoSize(BmpLayout s, uint32_t infoSize) {
  s.infoSize = infoSize;
  return makeBmp(s);
}

std::vector<Case> cases() {
  const std::vector<uint8_t> px24 = {1, 2, 3, 4, 5, 6, 0, 0};  // a 2 x 1 row at 24 bits
  const std::vector<uint8_t> mask565 = words({0xF800, 0x07E0, 0x001F});
  std::vector<Case> c = {
      // Sizes: refused before any grid or row buffer exists. The products are formed in 64 bits,
      // so none of them wraps into the allowed range.
      refusedCase("width INT32_MIN", layout(INT32_MIN, 1, 24, px24)),
      refusedCase("width and height INT32_MIN", layout(INT32_MIN, INT32_MIN, 8, px24)),
      refusedCase("width -1", layout(-1, 1, 32, px24)),
      refusedCase("width 2^31 - 1 at 1 bit", layout(INT32_MAX, 1, 1, px24)),
      refusedCase("height 2^31 - 1 at 32 bits", layout(1, INT32_MAX, 32, px24)),
      refusedCase("65536 x 65536: 2^32 pixels, 0 in 32 bits", layout(65536, 65536, 24, px24)),
      refusedCase("65537 x 65535: 2^32 - 1 pixels, -1 in 32 bits", layout(65537, 65535, 16, px24)),
      refusedCase("46341 x 46341: negative in 32 bits", layout(46341, 46341, 8, px24)),
      refusedCase("2^28 + 1 pixels, one past the default limit", layout((1 << 28) + 1, 1, 1, px24)),
      refusedCase("32-bit row of 2^32 bytes (width 2^30)", layout(1 << 30, 1, 32, px24)),
      refusedCase("24-bit row past 2^31 bytes (width 2^29 + 1)", layout((1 << 29) + 1, 1, 24, px24)),
      refusedCase("100 x 100 under a limit of 9999", layout(100, 100, 1), 9999),

      // Offsets: bfOffBits counts as a signed 32-bit number; a negative one leaves neither table
      // entries nor a gap, a huge one runs the gap past the end of the file.
      {"24 bits, bfOffBits past the end", makeBmp(layout(2, 1, 24, px24, {}, 1000)), true, 24, 2, 1},
      {"24 bits, bfOffBits 2^32 - 1 reads the data at 54", makeBmp(layout(2, 1, 24, px24, {}, 0xFFFFFFFFll)),
       true, 24, 2, 1, {{0, 0, px(1, 2, 3)}, {1, 0, px(4, 5, 6)}}},
      {"16-bit masks, bfOffBits 2^31 - 1", makeBmp(layout(1, 1, 16, {0xFF, 0xFF, 0, 0}, mask565, 0x7FFFFFFF, 3)),
       true, 16, 1, 1},
      {"16-bit masks, bfOffBits 2^32 - 4 reads the data after the masks",
       makeBmp(layout(1, 1, 16, {0xFF, 0xFF, 0, 0}, mask565, 0xFFFFFFFCll, 3)), true, 16, 1, 1,
       {{0, 0, px(248, 248, 248)}}},
      {"8 bits, bfOffBits 2^31 - 1: full table, then the gap runs past the end",
       makeBmp(layout(1, 1, 8, {7, 0, 0, 0}, fullTable(8), 0x7FFFFFFF)), true, 8, 1, 1, {},
       {{0, fullTableEntry(0)}, {255, fullTableEntry(255)}}},
      {"4 bits, bfOffBits 2^32 - 16: no entries, pixels at 54 index a white table",
       makeBmp(layout(2, 1, 4, {0x01, 0, 0, 0}, {}, 0xFFFFFFF0ll)), true, 4, 2, 1, {},
       {{0, kBlank}, {15, kBlank}}},

      // Header lengths: the info header is read as 40 bytes; a longer one moves a paletted
      // file's table only when it ends at or before bfOffBits.
      {"biSize 2^32 - 1 at 8 bits: table at 54", withInfoSize(layout(1, 1, 8, {9, 0, 0, 0}, fullTable(8)), 0xFFFFFFFF),
       true, 8, 1, 1, {{0, 0, fullTableEntry(9)}}},
      {"biSize 2^31 - 16 ending before bfOffBits 2^31 - 1: nothing left to read",
       withInfoSize(layout(1, 1, 8, {9, 0, 0, 0}, fullTable(8), 0x7FFFFFFF), 0x7FFFFFF0), true, 8, 1, 1, {},
       {{0, kBlank}, {9, kBlank}}},
      {"biSize 0 at 24 bits is not read", withInfoSize(layout(2, 1, 24, px24), 0), true, 24, 2, 1,
       {{0, 0, px(1, 2, 3)}, {1, 0, px(4, 5, 6)}}},

      // Tables shorter than the depth: missing entries are white, and so are pixels using them.
      {"4 bits with 3 entries, indexes 2 and 5",
       makeBmp(layout(2, 1, 4, {0x25, 0, 0, 0}, words({0x11, 0x22, 0x00332211}))), true,
       4, 2, 1, {{0, 0, px(0x11, 0x22, 0x33)}}, {{2, px(0x11, 0x22, 0x33)}, {3, kBlank}, {15, kBlank}}},
      {"8 bits, 101 entries, index 255", makeBmp(layout(1, 1, 8, {255, 0, 0, 0}, std::vector<uint8_t>(404, 7))),
       true, 8, 1, 1, {}, {{100, px(7, 7, 7, 7)}, {101, kBlank}}},

      // 16-bit masks: only the low 16 bits of each count; the shift brings a mask down to 31.
      {"16-bit masks all 0", makeBmp(layout(1, 1, 16, {0xFF, 0xFF, 0, 0}, words({0, 0, 0}), -1, 3)), true, 16, 1, 1,
       {{0, 0, px(0, 0, 0)}}},
      {"16-bit masks all 2^32 - 1, value 0xFFFF",
       makeBmp(layout(1, 1, 16, {0xFF, 0xFF, 0, 0}, words({~0u, ~0u, ~0u}), -1, 3)), true,
       16, 1, 1, {{0, 0, px(248, 248, 248)}}},
      {"16-bit masks all 2^32 - 1, value 0x0FFF",
       makeBmp(layout(1, 1, 16, {0xFF, 0x0F, 0, 0}, words({~0u, ~0u, ~0u}), -1, 3)), true,
       16, 1, 1, {{0, 0, px(8, 8, 8)}}},
      {"16-bit masks of one bit: 0x8000 red, 0x0001 blue",
       makeBmp(layout(1, 1, 16, {0x01, 0x80, 0, 0}, words({0x8000, 0, 1}), -1, 3)), true,
       16, 1, 1, {{0, 0, px(8, 0, 128)}}},

      // A 1 x 1 file of every depth.
      {"1 x 1 at 1 bit", makeBmp(layout(1, 1, 1, {0x80, 0, 0, 0}, fullTable(1))), true, 1, 1, 1,
       {{0, 0, fullTableEntry(1)}}},
      {"1 x 1 at 4 bits", makeBmp(layout(1, 1, 4, {0xE0, 0, 0, 0}, fullTable(4))), true, 4, 1, 1,
       {{0, 0, fullTableEntry(14)}}},
      {"1 x 1 at 8 bits", makeBmp(layout(1, 1, 8, {200, 0, 0, 0}, fullTable(8))), true, 8, 1, 1,
       {{0, 0, fullTableEntry(200)}}},
      {"1 x 1 at 16 bits (5-5-5)", makeBmp(layout(1, 1, 16, {0x21, 0x7C, 0, 0})), true, 16, 1, 1,
       {{0, 0, px(8, 8, 248)}}},
      {"1 x 1 at 16 bits (5-6-5 masks)", makeBmp(layout(1, 1, 16, {0x40, 0x08, 0, 0}, mask565, -1, 3)), true, 16, 1, 1,
       {{0, 0, px(0, 8, 8)}}},
      {"1 x 1 at 24 bits", makeBmp(layout(1, 1, 24, {10, 20, 30, 0})), true, 24, 1, 1, {{0, 0, px(10, 20, 30)}}},
      {"1 x 1 at 32 bits", makeBmp(layout(1, 1, 32, {10, 20, 30, 40})), true, 32, 1, 1, {{0, 0, px(10, 20, 30, 40)}}},
      {"1 x 1 with no pixel data", makeBmp(layout(1, 1, 32)), true, 32, 1, 1},
  };
  return c;
}

void expectRefused(const Bitmap& b, const std::string& what) {
  EXPECT_EQ(b.bitsPerPixel(), 1) << what;
  EXPECT_EQ(b.width(), 1) << what;
  EXPECT_EQ(b.height(), 1) << what;
  EXPECT_EQ(b.pixel(0, 0), kBlank) << what;
}

TEST(Hostile, HeadersSizesOffsetsTablesMasks) {
  for (const Case& c : cases()) {
    SCOPED_TRACE(c.name);
    Limits limits;
    limits.maxPixels = c.maxPixels;
    Bitmap b;
    BmpStatus status;
    ASSERT_EQ(b.loadMemory(c.bytes, limits, &status), c.loads);
    EXPECT_EQ(reference::loadDifference(b, c.loads, status, c.bytes, limits), "");
    if (!c.loads) {
      expectRefused(b, c.name);
      EXPECT_EQ(b.xPixelsPerMeter(), 3780);  // the header was whole, so its resolution is taken
      continue;
    }
    ASSERT_EQ(b.bitsPerPixel(), c.bits);
    ASSERT_EQ(b.width(), c.width);
    ASSERT_EQ(b.height(), c.height);
    for (int32_t y = 0; y < c.height; ++y) {
      for (int32_t x = 0; x < c.width; ++x) {
        BitmapPixel want = kBlank;
        for (const Probe& p : c.pixels)
          if (p.x == x && p.y == y) want = p.want;
        EXPECT_EQ(b.pixel(x, y), want) << x << "," << y;
      }
    }
    for (const auto& [k, want] : c.entries) EXPECT_EQ(b.tableColor(k), want) << "entry " << k;
  }
}

// A 3 x 2 file of each depth, cut at every length from 0 to whole: the load does what the
// reference decoder does with the same bytes (shorter than the 54 header bytes is refused;
// otherwise each table entry takes the bytes the file still holds over its default colour,
// and each pixel is decoded when the file holds its whole row, at 16 bits its own two bytes,
// else white with alpha 0), and the whole file decodes to its picture. The header inspection
// reads what the reference reads.
TEST(Hostile, FilesCutAtEveryByte) {
  struct Layout {
    const char* what;
    uint16_t bits;
    uint32_t compression;
    std::vector<uint8_t> tableOrMasks;
    size_t gap;
    std::vector<uint8_t> rows;  // bottom row first, padded
    BitmapPixel picture[2][3];  // [y][x], as decoded from the whole file
  };
  const BitmapPixel e = fullTableEntry(0);
  const std::vector<Layout> layouts = {
      {"1 bit", 1, 0, fullTable(1), 0, {0b10100000, 0, 0, 0, 0b01000000, 0, 0, 0},
       {{e, fullTableEntry(1), e}, {fullTableEntry(1), e, fullTableEntry(1)}}},
      {"4 bits", 4, 0, fullTable(4), 0, {0x12, 0x30, 0, 0, 0xFE, 0xD0, 0, 0},
       {{fullTableEntry(15), fullTableEntry(14), fullTableEntry(13)},
        {fullTableEntry(1), fullTableEntry(2), fullTableEntry(3)}}},
      {"8 bits", 8, 0, fullTable(8), 0, {0, 128, 255, 0, 7, 8, 9, 0},
       {{fullTableEntry(7), fullTableEntry(8), fullTableEntry(9)},
        {fullTableEntry(0), fullTableEntry(128), fullTableEntry(255)}}},
      {"16 bits 5-5-5", 16, 0, {}, 0, {0x21, 0x04, 0x42, 0x08, 0x00, 0x7C, 0, 0, 0x1F, 0, 0xE0, 0x03, 0xFF, 0x7F, 0, 0},
       {{px(248, 0, 0), px(0, 248, 0), px(248, 248, 248)}, {px(8, 8, 8), px(16, 16, 16), px(0, 0, 248)}}},
      {"16 bits 5-6-5 masks", 16, 3, words({0xF800, 0x07E0, 0x001F}), 0,
       {0x41, 0x08, 0, 0xF8, 0x1F, 0, 0, 0, 0xE0, 0x07, 0x20, 0, 0xFF, 0xFF, 0, 0},
       {{px(0, 248, 0), px(0, 0, 0), px(248, 248, 248)}, {px(8, 8, 8), px(0, 0, 248), px(248, 0, 0)}}},
      {"24 bits with a 5-byte gap", 24, 0, {}, 5,
       {1, 2, 3, 4, 5, 6, 7, 8, 9, 0, 0, 0, 11, 12, 13, 14, 15, 16, 17, 18, 19, 0, 0, 0},
       {{px(11, 12, 13), px(14, 15, 16), px(17, 18, 19)}, {px(1, 2, 3), px(4, 5, 6), px(7, 8, 9)}}},
      {"32 bits", 32, 0, {}, 0, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21, 22, 23, 24},
       {{px(13, 14, 15, 16), px(17, 18, 19, 20), px(21, 22, 23, 24)},
        {px(1, 2, 3, 4), px(5, 6, 7, 8), px(9, 10, 11, 12)}}},
  };
  test::TempDir dir;
  for (const Layout& l : layouts) {
    BmpLayout s = layout(3, 2, l.bits, l.rows, l.tableOrMasks, -1, l.compression);
    s.table.resize(s.table.size() + l.gap, 0xEE);
    const std::vector<uint8_t> whole = makeBmp(s);
    const reference::Decoded full = reference::decode(whole);
    for (size_t k = 0; k < 6; ++k) ASSERT_EQ(full.raster.pixels.at(k), l.picture[k / 3][k % 3]) << l.what;
    for (size_t k = 0; l.bits <= 8 && k < size_t{1} << l.bits; ++k) {
      ASSERT_EQ(full.raster.table.at(k), fullTableEntry(static_cast<int>(k))) << l.what;
    }

    for (size_t cut = 0; cut <= whole.size(); ++cut) {
      const std::string what = std::string(l.what) + " cut at " + std::to_string(cut);
      const std::vector<uint8_t> bytes(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(cut));
      Bitmap fromMemory, fromFile;
      BmpStatus status;
      const bool okMemory = fromMemory.loadMemory(bytes, {}, &status);
      // Through a real file too for a sample of cuts (all of them for the smaller layouts).
      if (whole.size() < 200 || cut % 37 == 0 || cut + 8 > whole.size()) {
        test::writeBytes(dir.file("cut.bmp"), bytes);
        ASSERT_EQ(fromFile.loadFile(dir.file("cut.bmp")), okMemory) << what;
        ASSERT_EQ(reference::difference(fromFile, fromMemory), "") << what;
      }
      ASSERT_EQ(reference::loadDifference(fromMemory, okMemory, status, bytes), "") << what;
      ASSERT_EQ(reference::difference(readHeadersOf(bytes), reference::readHeaders(bytes)), "") << what;
      ASSERT_EQ(okMemory, cut >= 54) << what;
      if (!okMemory) expectRefused(fromMemory, what);
    }
  }
}

// The same files through Image::load and the command-line program: a refusal is a clear
// failure naming the file, and a hostile file that loads gives exactly its rule's pixels.
TEST(Hostile, ThroughImageLoadAndTheCommandLine) {
  test::TempDir dir;
  const std::string wide = dir.file("wide.bmp"), wrap = dir.file("wrap.bmp"), cut = dir.file("cut.bmp"),
                    past = dir.file("past.bmp"), out = dir.file("out.bmp");
  test::writeBytes(wide, makeBmp(layout(INT32_MIN, 1, 24, {1, 2, 3, 0})));
  test::writeBytes(wrap, makeBmp(layout(65536, 65536, 24, {1, 2, 3, 0})));
  std::vector<uint8_t> cutBytes = makeBmp(layout(0x01020304, 2, 24));
  cutBytes.resize(20);  // biWidth cut after two of its bytes
  test::writeBytes(cut, cutBytes);
  test::writeBytes(past, makeBmp(layout(2, 1, 24, {1, 2, 3, 4, 5, 6, 0, 0}, {}, 0x7FFFFFFF)));

  const std::pair<std::string, std::string> refused[] = {
      {wide, "a size of -2147483648 x 1 is not supported (a picture needs at least one column and one row)"},
      {wrap, "65536 x 65536 pixels passes the limit of 268435456 pixels (see --max-pixels)"},
      {cut, "the headers are cut short (20 bytes; they need 54)"},
  };
  for (const auto& [path, reason] : refused) {
    Status status{.cause = Cause::ok};
    EXPECT_FALSE(Image::load(path, {}, &status)) << path;
    EXPECT_FALSE(status.ok()) << path;

    for (const std::vector<std::string>& args : {std::vector<std::string>{"convert", path, out},
                                                 std::vector<std::string>{"fun", path, out, "0"}}) {
      const test::RunResult run = test::runCli(args);
      EXPECT_EQ(run.exitCode, 1) << args[0] << " " << path;
      EXPECT_EQ(run.err, "Error loading image: " + path + ": " + reason + "\n") << args[0];
    }
    EXPECT_FALSE(std::filesystem::exists(out)) << path;
  }

  Status status{.cause = Cause::badSize};
  const auto image = Image::load(past, {}, &status);
  ASSERT_TRUE(image);
  EXPECT_EQ(status, Cause::ok);
  ASSERT_EQ(image->pixelCount(), 2);
  for (const Pixel& p : image->pixels()) EXPECT_TRUE(p.r == 255 && p.g == 255 && p.b == 255 && p.a == 0);
  ASSERT_EQ(test::runCli({"convert", past, out}).exitCode, 0);
  const std::vector<uint8_t> written = test::readBytes(out);
  ASSERT_EQ(written.size(), 62u);
  EXPECT_EQ(std::vector<uint8_t>(written.begin() + 54, written.end()),
            (std::vector<uint8_t>{255, 255, 255, 255, 255, 255, 0, 0}));

  // info shows the raw header fields, hostile or not; a cut field keeps the bytes that arrived
  // as its low-order bytes and the rest from the defaults.
  const test::RunResult infoWide = test::runCli({"info", wide});
  EXPECT_EQ(infoWide.exitCode, 0);
  EXPECT_NE(infoWide.out.find("\nbiWidth: -2147483648\nbiHeight: 1\n"), std::string::npos) << infoWide.out;
  const test::RunResult infoPast = test::runCli({"info", past});
  EXPECT_NE(infoPast.out.find("\nbfOffBits: 2147483647\n"), std::string::npos) << infoPast.out;
  const test::RunResult infoCut = test::runCli({"info", cut});
  EXPECT_EQ(infoCut.exitCode, 0);
  EXPECT_NE(infoCut.out.find("\nbiSize: 40\nbiWidth: 772\nbiHeight: 0\nbiPlanes: 1\nbiBitCount: 0\n"),
            std::string::npos)
      << infoCut.out;
}

}  // namespace
}  // namespace bmpfun
