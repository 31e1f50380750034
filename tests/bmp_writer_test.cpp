// The BMP writer: exact headers and layouts, nearest-colour mapping, round trips, and saves
// that never lose the old file or report a failure as success.
#include <bmpfun/bmp.hpp>

#include "bmp/writer.hpp"
#include "support/test_support.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <random>

namespace bmpfun {
namespace {

namespace fs = std::filesystem;
using test::getU16;
using test::getU32;
using test::listDir;
using test::readBytes;

using test::px;

BitmapPixel grey(int v) { return px(v, v, v); }

Bitmap makeBitmap(int32_t bits, int32_t width, int32_t height, uint32_t seed = 7) {
  Bitmap b;
  b.changeBitsPerPixel(bits);
  b.resize(width, height);
  std::mt19937 rng(seed);
  for (int32_t y = 0; y < height; ++y)
    for (int32_t x = 0; x < width; ++x) {
      const uint32_t v = rng();
      b.putPixel(x, y, BitmapPixel{uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)});
    }
  return b;
}

std::vector<uint8_t> saveToBytes(const Bitmap& b) {
  test::TempDir dir;
  const std::string path = dir.file("out.bmp");
  EXPECT_TRUE(b.saveFile(path));
  return readBytes(path);
}

TEST(BmpWriter, HeadersAndSizes) {
  const struct { int32_t bits, width, height; uint32_t offBits, rowBytes; } cases[] = {
      {24, 3, 2, 54, 12},  {1, 9, 1, 62, 4},    {1, 32, 2, 62, 4},   {1, 33, 1, 62, 8},
      {4, 3, 1, 118, 4},   {4, 9, 2, 118, 8},   {8, 5, 3, 1078, 8},  {8, 4, 1, 1078, 4},
      {16, 3, 2, 66, 8},   {16, 2, 1, 66, 4},   {32, 3, 1, 54, 12},  {24, 4, 1, 54, 12},
  };
  for (const auto& c : cases) {
    Bitmap b = makeBitmap(c.bits, c.width, c.height);
    b.setPixelsPerMeter(2835, -7);
    const std::vector<uint8_t> f = saveToBytes(b);
    const uint32_t image = c.rowBytes * static_cast<uint32_t>(c.height);
    const std::string what = std::to_string(c.bits) + " bits " + std::to_string(c.width) + "x" + std::to_string(c.height);
    ASSERT_EQ(f.size(), c.offBits + image) << what;
    EXPECT_EQ(getU16(f, 0), 19778) << what;
    EXPECT_EQ(getU32(f, 2), c.offBits + image) << what;
    EXPECT_EQ(getU16(f, 6), 0) << what;
    EXPECT_EQ(getU16(f, 8), 0) << what;
    EXPECT_EQ(getU32(f, 10), c.offBits) << what;
    EXPECT_EQ(getU32(f, 14), 40u) << what;
    EXPECT_EQ(getU32(f, 18), static_cast<uint32_t>(c.width)) << what;
    EXPECT_EQ(getU32(f, 22), static_cast<uint32_t>(c.height)) << what;
    EXPECT_EQ(getU16(f, 26), 1) << what;
    EXPECT_EQ(getU16(f, 28), c.bits) << what;
    EXPECT_EQ(getU32(f, 30), c.bits == 16 ? 3u : 0u) << what;
    EXPECT_EQ(getU32(f, 34), image) << what;
    EXPECT_EQ(getU32(f, 38), 2835u) << what;
    EXPECT_EQ(getU32(f, 42), static_cast<uint32_t>(-7)) << what;
    EXPECT_EQ(getU32(f, 46), 0u) << what;
    EXPECT_EQ(getU32(f, 50), 0u) << what;
  }
}

TEST(BmpWriter, UnsetResolutionIsWrittenAs3780) {
  Bitmap b;
  const std::vector<uint8_t> f = saveToBytes(b);
  EXPECT_EQ(getU32(f, 38), 3780u);
  EXPECT_EQ(getU32(f, 42), 3780u);
  EXPECT_EQ(b.xPixelsPerMeter(), 0);
  EXPECT_EQ(b.yPixelsPerMeter(), 0);
}

TEST(BmpWriter, SizeArithmeticRefusesWhatThe32BitFieldsCannotHold) {
  const struct { int32_t bits, width, height; bool fits; uint64_t fileBytes; } cases[] = {
      {24, 3, 2, true, 54 + 24},
      {32, 32768, 32767, true, 54 + 32768ull * 4 * 32767},
      {32, 32768, 32768, false, 0},
      {24, INT32_MAX, 1, false, 0},
      {1, INT32_MAX, 1, true, 54 + 8 + 268435456},
      {1, INT32_MAX, 15, true, 54 + 8 + 268435456ull * 15},
      {1, INT32_MAX, 16, false, 0},
      {8, 1, INT32_MAX, false, 0},
      {16, 1, 1, true, 54 + 12 + 4},
  };
  for (const auto& c : cases) {
    const auto layout = detail::bmpLayout(c.bits, c.width, c.height);
    EXPECT_EQ(layout.has_value(), c.fits) << c.bits << " " << c.width << "x" << c.height;
    if (layout && c.fits) EXPECT_EQ(layout->fileBytes, c.fileBytes) << c.bits << " " << c.width << "x" << c.height;
  }
}

TEST(BmpWriter, NearestTableIndexTieRules) {
  const struct { int32_t bits; BitmapPixel pixel; uint8_t want; } cases[] = {
      {4, grey(100), 7},
      {4, grey(160), 7},  // 3072 from entry 7 (128) and from entry 8 (192): the lower index
      {4, grey(64), 0},   // equally far from black and entry 7
      {4, grey(255), 15},
      {4, grey(192), 8},
      {4, px(0, 0, 128, 99), 1},  // alpha plays no part
      {4, px(0, 0, 200), 9},
      {1, grey(127), 0},
      {1, grey(128), 1},
      {8, px(240, 202, 166), 9},
      {8, px(0, 0, 0), 0},
      {8, grey(128), 164},  // the cube's (128,128,128) comes before entry 248
      {8, px(64, 32, 160), 77},
      {24, grey(10), 0},  // no table: every entry reads the same white
      {24, grey(255), 0},
  };
  for (const auto& c : cases) {
    Bitmap b;
    b.changeBitsPerPixel(c.bits);
    EXPECT_EQ(nearestTableIndex(b, c.pixel), c.want)
        << c.bits << " bits, rgb " << int{c.pixel.red} << "," << int{c.pixel.green} << "," << int{c.pixel.blue};
  }
  // Duplicate entries: the first of them wins, also for an exact match.
  Bitmap b;
  b.changeBitsPerPixel(4);
  for (int k = 0; k < 16; ++k) b.setTableColor(k, grey(200));
  b.setTableColor(5, grey(50));
  b.setTableColor(9, grey(50));
  EXPECT_EQ(nearestTableIndex(b, grey(50)), 5);
  EXPECT_EQ(nearestTableIndex(b, grey(60)), 5);
  EXPECT_EQ(nearestTableIndex(b, grey(201)), 0);
}

TEST(BmpWriter, PaletteRowsPackAndPad) {
  // 1 bit, 9 x 2: bits from the most significant; pixel 8 is bit 7 of the second byte and the
  // unused bits and padding are 0. The bottom row goes first.
  Bitmap one;
  one.changeBitsPerPixel(1);
  one.resize(9, 2);  // all white -> index 1
  for (int32_t x : {1, 3, 4, 5, 6, 7}) one.putPixel(x, 1, grey(20));
  one.putPixel(8, 0, grey(0));
  std::vector<uint8_t> f = saveToBytes(one);
  ASSERT_EQ(f.size(), 62u + 8);
  EXPECT_EQ(std::vector<uint8_t>(f.begin() + 54, f.begin() + 62),
            (std::vector<uint8_t>{0, 0, 0, 0, 255, 255, 255, 0}));
  EXPECT_EQ(std::vector<uint8_t>(f.begin() + 62, f.end()),
            (std::vector<uint8_t>{0b10100000, 0b10000000, 0, 0, 0xFF, 0b00000000, 0, 0}));

  // 4 bits, 3 x 1: the low nibble of the half-used last byte is 0.
  Bitmap four;
  four.changeBitsPerPixel(4);
  four.resize(3, 1);
  four.putPixel(0, 0, px(0, 0, 255));     // 9 (red)
  four.putPixel(1, 0, grey(100));         // 7
  four.putPixel(2, 0, px(255, 255, 0));   // 14 (cyan)
  f = saveToBytes(four);
  ASSERT_EQ(f.size(), 118u + 4);
  EXPECT_EQ(std::vector<uint8_t>(f.begin() + 118, f.end()), (std::vector<uint8_t>{0x97, 0xE0, 0, 0}));

  // 8 bits with a table of the bitmap's own: written as stored, fourth byte included.
  Bitmap eight;
  eight.changeBitsPerPixel(8);
  eight.resize(2, 1);
  eight.setTableColor(3, px(1, 2, 3, 4));
  eight.putPixel(0, 0, px(1, 2, 3, 200));
  eight.putPixel(1, 0, grey(255));
  f = saveToBytes(eight);
  EXPECT_EQ(std::vector<uint8_t>(f.begin() + 54 + 12, f.begin() + 54 + 16), (std::vector<uint8_t>{1, 2, 3, 4}));
  EXPECT_EQ(std::vector<uint8_t>(f.begin() + 1078, f.end()), (std::vector<uint8_t>{3, 255, 0, 0}));
}

TEST(BmpWriter, DirectColourRows) {
  Bitmap b;
  b.changeBitsPerPixel(16);
  b.resize(3, 2);
  b.putPixel(0, 1, grey(255));
  b.putPixel(1, 1, px(50, 200, 100));  // 12*2048 + 50*32 + 6 = 26182 = 0x6646
  b.putPixel(2, 1, px(7, 3, 7, 255));  // all below one step
  b.putPixel(0, 0, px(0, 0, 255));     // 0xF800
  b.putPixel(1, 0, px(0, 255, 0));     // 0x07E0
  b.putPixel(2, 0, px(255, 0, 0));     // 0x001F
  std::vector<uint8_t> f = saveToBytes(b);
  ASSERT_EQ(f.size(), 66u + 16);
  EXPECT_EQ(std::vector<uint8_t>(f.begin() + 54, f.begin() + 66),
            (std::vector<uint8_t>{0x00, 0xF8, 0, 0, 0xE0, 0x07, 0, 0, 0x1F, 0x00, 0, 0}));
  EXPECT_EQ(std::vector<uint8_t>(f.begin() + 66, f.end()),
            (std::vector<uint8_t>{0xFF, 0xFF, 0x46, 0x66, 0, 0, 0, 0,
                                  0x00, 0xF8, 0xE0, 0x07, 0x1F, 0x00, 0, 0}));

  Bitmap c;
  c.resize(2, 1);
  c.putPixel(0, 0, px(1, 2, 3, 4));
  c.putPixel(1, 0, px(5, 6, 7, 8));
  f = saveToBytes(c);
  EXPECT_EQ(std::vector<uint8_t>(f.begin() + 54, f.end()), (std::vector<uint8_t>{1, 2, 3, 5, 6, 7, 0, 0}));
  c.changeBitsPerPixel(32);
  f = saveToBytes(c);
  EXPECT_EQ(std::vector<uint8_t>(f.begin() + 54, f.end()), (std::vector<uint8_t>{1, 2, 3, 4, 5, 6, 7, 8}));
}

TEST(BmpWriter, RoundTripsAtEveryDepth) {
  for (int32_t bits : {1, 4, 8, 16, 24, 32}) {
    for (const auto& size : {std::pair{1, 1}, std::pair{7, 3}, std::pair{33, 5}, std::pair{130, 17}}) {
      Bitmap b = makeBitmap(bits, size.first, size.second, static_cast<uint32_t>(bits * 100 + size.first));
      if (bits == 8) b.fillGreyRamp();
      b.setPixelsPerMeter(1000, 2000);
      test::TempDir dir;
      ASSERT_TRUE(b.saveFile(dir.file("rt.bmp")));
      Bitmap r;
      ASSERT_TRUE(r.loadFile(dir.file("rt.bmp")));
      ASSERT_EQ(r.bitsPerPixel(), bits);
      ASSERT_EQ(r.width(), size.first);
      ASSERT_EQ(r.height(), size.second);
      EXPECT_EQ(r.xPixelsPerMeter(), 1000);
      EXPECT_EQ(r.yPixelsPerMeter(), 2000);
      EXPECT_EQ(r.colorTable(), b.colorTable());
      for (int32_t y = 0; y < size.second; ++y)
        for (int32_t x = 0; x < size.first; ++x) {
          const BitmapPixel p = b.pixel(x, y);
          BitmapPixel want;
          switch (bits) {
            case 16: want = px(p.blue & 0xF8, p.green & 0xF8, p.red & 0xF8); break;
            case 24: want = px(p.blue, p.green, p.red); break;
            case 32: want = p; break;
            default: want = b.tableColor(nearestTableIndex(b, p));
          }
          ASSERT_EQ(r.pixel(x, y), want) << bits << " bits at " << x << "," << y;
        }
    }
  }
}

// ------------------------------------------------------------------- safe saving
// (saves that fail, interrupted and synced saves: faults_test.cpp and interrupt_test.cpp)

TEST(BmpSafeSave, ShortWritesThatProgressStillSucceed) {
  const Bitmap b = makeBitmap(8, 41, 13);
  test::TempDir dir;
  test::FaultyIo io;
  io.chunk = 7;
  {
    test::ScopedFileIo seam(io);
    ASSERT_TRUE(b.saveFile(dir.file("a.bmp")));
  }
  EXPECT_GT(io.writes, 100);
  ASSERT_TRUE(b.saveFile(dir.file("b.bmp")));
  EXPECT_EQ(readBytes(dir.file("a.bmp")), readBytes(dir.file("b.bmp")));
}

TEST(BmpSafeSave, ReplacesThroughSymbolicLinksAndKeepsPermissions) {
  const Bitmap b = makeBitmap(24, 5, 4);
  const std::vector<uint8_t> expected = saveToBytes(b);
  test::TempDir dir;
  // An existing file keeps its permission bits.
  const std::string file = dir.file("kept.bmp");
  test::writeBytes(file, {1, 2, 3});
  ASSERT_EQ(chmod(file.c_str(), 0640), 0);
  ASSERT_TRUE(b.saveFile(file));
  EXPECT_EQ(readBytes(file), expected);
  struct stat st {};
  ASSERT_EQ(stat(file.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);

  // A new file gets 0666 less the umask.
  const mode_t oldMask = umask(027);
  ASSERT_TRUE(b.saveFile(dir.file("new.bmp")));
  umask(oldMask);
  ASSERT_EQ(stat(dir.file("new.bmp").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);

  // A link stays a link; its target (in another directory, by a relative path) is replaced.
  fs::create_directory(dir.path() / "sub");
  test::writeBytes(dir.path() / "sub" / "target.bmp", {9});
  fs::create_symlink("sub/target.bmp", dir.path() / "link.bmp");
  fs::create_symlink("link.bmp", dir.path() / "link2.bmp");
  ASSERT_TRUE(b.saveFile(dir.file("link2.bmp")));
  EXPECT_TRUE(fs::is_symlink(dir.path() / "link.bmp"));
  EXPECT_TRUE(fs::is_symlink(dir.path() / "link2.bmp"));
  EXPECT_EQ(readBytes(dir.path() / "sub" / "target.bmp"), expected);
  EXPECT_EQ(listDir(dir.path() / "sub"), std::vector<std::string>{"target.bmp"});

  // A dangling link: the file appears where it points.
  fs::create_symlink("sub/fresh.bmp", dir.path() / "dangling.bmp");
  ASSERT_TRUE(b.saveFile(dir.file("dangling.bmp")));
  EXPECT_EQ(readBytes(dir.path() / "sub" / "fresh.bmp"), expected);
}

TEST(BmpSafeSave, PathsThatAreNotRegularFiles) {
  const Bitmap b = makeBitmap(24, 5, 4);
  test::TempDir dir;
  // (Devices, folders and missing folders that fail: faults_test.cpp.)
  EXPECT_TRUE(b.saveFile("/dev/null"));
  EXPECT_FALSE(b.saveFile(""));
  EXPECT_TRUE(listDir(dir.path()).empty());

  // A pipe is written in place, all of it.
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  const Bitmap small = makeBitmap(24, 2, 2);
  ASSERT_TRUE(small.saveFile("/dev/fd/" + std::to_string(fds[1])));
  close(fds[1]);
  std::vector<uint8_t> got(200);
  const ssize_t n = read(fds[0], got.data(), got.size());
  close(fds[0]);
  got.resize(static_cast<size_t>(std::max<ssize_t>(n, 0)));
  EXPECT_EQ(got, saveToBytes(small));

  // A deleted file reached through its descriptor names no folder: written directly, whole.
  const int fd = ::open(dir.file("gone").c_str(), O_RDWR | O_CREAT, 0600);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(write(fd, "old old old", 11), 11);
  ASSERT_EQ(unlink(dir.file("gone").c_str()), 0);
  ASSERT_TRUE(small.saveFile("/proc/self/fd/" + std::to_string(fd)));
  got.assign(200, 0);
  got.resize(static_cast<size_t>(std::max<ssize_t>(pread(fd, got.data(), got.size(), 0), 0)));
  close(fd);
  EXPECT_EQ(got, saveToBytes(small));
  EXPECT_TRUE(listDir(dir.path()).empty());
}

}  // namespace
}  // namespace bmpfun
