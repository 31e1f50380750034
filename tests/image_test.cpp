// The Image container: factories and their failures, loading each depth, saving, copies.
#include <bmpfun/image.hpp>

#include "support/reference_bmp.hpp"
#include "support/test_support.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <limits>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace bmpfun {
namespace {

using test::pixelsOf;
using test::samePixel;

using test::BmpLayout;
using test::TempDir;

std::string writeBmp(const TempDir& dir, const std::string& name, const BmpLayout& layout) {
  const std::string path = dir.file(name);
  test::writeBytes(path, test::makeBmp(layout));
  return path;
}

// ---------------------------------------------------------------- creation

TEST(Image, BlankIsWhiteWithAlphaZero) {
  Status status{.cause = Cause::notBmp};
  auto image = Image::create(3, 2, {}, &status);
  ASSERT_TRUE(image);
  EXPECT_EQ(status, Cause::ok);
  EXPECT_EQ(image->width(), 3);
  EXPECT_EQ(image->height(), 2);
  EXPECT_EQ(image->pixelCount(), 6);
  EXPECT_EQ(image->samplingMethod(), kPoint);
  ASSERT_EQ(image->pixels().size(), 6u);
  for (const Pixel& p : image->pixels()) EXPECT_TRUE(samePixel(p, Pixel{255, 255, 255, 0}));
}

TEST(Image, FactoryFailuresReportWhy) {
  struct Case {
    int32_t w, h;
    int64_t maxPixels;
    Cause want;
  };
  const int32_t kMin = std::numeric_limits<int32_t>::min();
  const int32_t kMax = std::numeric_limits<int32_t>::max();
  const int64_t kDefault = Limits::kDefaultMaxPixels;
  const int64_t kHuge = std::numeric_limits<int64_t>::max();
  const Case cases[] = {
      {0, 5, kDefault, Cause::badSize},      {5, -1, kDefault, Cause::badSize},
      {0, 0, kDefault, Cause::badSize},      {kMin, 1, kDefault, Cause::badSize},
      {1, kMin, kHuge, Cause::badSize},      {11, 10, 100, Cause::tooLarge},
      {101, 1, 100, Cause::tooLarge},        {kMax, kMax, kDefault, Cause::tooLarge},
      {16385, 16384, kDefault, Cause::tooLarge},
      // Allowed by the caller's limit, but past what an int32 pixel count can hold.
      {65536, 65536, kHuge, Cause::tooLarge}, {kMax, 2, kHuge, Cause::tooLarge},
  };
  for (const auto& c : cases) {
    Status status{.cause = Cause::ok};
    Limits limits;
    limits.maxPixels = c.maxPixels;
    EXPECT_FALSE(Image::create(c.w, c.h, limits, &status)) << c.w << " x " << c.h;
    EXPECT_EQ(status, c.want) << c.w << " x " << c.h;
    EXPECT_FALSE(Image::create(c.w, c.h, limits));  // no status wanted: still just empty
  }
  Limits hundred;
  hundred.maxPixels = 100;
  Status status{.cause = Cause::badSize};
  auto fits = Image::create(10, 10, hundred, &status);
  ASSERT_TRUE(fits);
  EXPECT_EQ(status, Cause::ok);
  EXPECT_EQ(fits->limits().maxPixels, 100);
}

// Every cause has its own sentence.
TEST(Image, StatusTextsAreDistinct) {
  std::set<std::string> texts;
  const int count = static_cast<int>(Cause::noContent) + 1;
  for (int c = 0; c < count; ++c) {
    const std::string text = to_string(Status{.cause = static_cast<Cause>(c)});
    EXPECT_GT(text.size(), 5u) << c;
    texts.insert(text);
  }
  EXPECT_EQ(texts.size(), static_cast<size_t>(count));
}

TEST(Image, IsValidAndPixelAddressing) {
  auto image = Image::create(4, 3);
  ASSERT_TRUE(image);
  struct Case {
    int32_t x, y;
    bool valid;
  };
  const Case cases[] = {{-1, 0, false}, {4, 0, false}, {0, 3, false}, {0, -1, false},
                        {std::numeric_limits<int32_t>::min(), 0, false},
                        {0, 0, true},   {3, 2, true},  {3, 0, true},  {0, 2, true}};
  for (const auto& c : cases) EXPECT_EQ(image->isValid(c.x, c.y), c.valid) << c.x << ", " << c.y;
  for (int32_t y = 0; y < 3; ++y)
    for (int32_t x = 0; x < 4; ++x)
      EXPECT_EQ(&image->pixel(x, y), &image->pixels()[static_cast<size_t>(x + y * 4)]);
}

// ---------------------------------------------------------------- loading

struct LoadCase {
  const char* name;
  BmpLayout layout;
  std::vector<Pixel> want;  // row-major, row 0 at the top
};

std::vector<LoadCase> loadCases() {
  std::vector<LoadCase> cases;
  {
    // 24 bits, 2 x 2: rows bottom first, 6 data bytes + 2 padding each; alpha 0.
    BmpLayout s;
    s.width = 2;
    s.height = 2;
    s.bits = 24;
    s.pixelData = {1, 2, 3, 4, 5, 6, 0, 0, 7, 8, 9, 10, 11, 12, 0, 0};
    cases.push_back({"24", s, {{9, 8, 7, 0}, {12, 11, 10, 0}, {3, 2, 1, 0}, {6, 5, 4, 0}}});
  }
  {
    // 32 bits: the fourth byte is alpha.
    BmpLayout s;
    s.width = 2;
    s.height = 1;
    s.bits = 32;
    s.pixelData = {1, 2, 3, 4, 5, 6, 7, 200};
    cases.push_back({"32", s, {{3, 2, 1, 4}, {7, 6, 5, 200}}});
  }
  const std::vector<uint8_t> table = {10, 20, 30, 40, 50, 60, 70, 80,
                                      90, 100, 110, 120, 1, 2, 3, 255};
  {
    // 8 bits: every pixel is its table entry, fourth byte included.
    BmpLayout s;
    s.width = 3;
    s.height = 1;
    s.bits = 8;
    s.table = table;
    s.pixelData = {2, 0, 3, 0};
    cases.push_back({"8", s, {{110, 100, 90, 120}, {30, 20, 10, 40}, {3, 2, 1, 255}}});
  }
  {
    BmpLayout s;
    s.width = 3;
    s.height = 1;
    s.bits = 4;
    s.table = table;
    s.pixelData = {0x13, 0x20, 0, 0};
    cases.push_back({"4", s, {{70, 60, 50, 80}, {3, 2, 1, 255}, {110, 100, 90, 120}}});
  }
  {
    BmpLayout s;
    s.width = 9;
    s.height = 1;
    s.bits = 1;
    s.table = {10, 20, 30, 40, 50, 60, 70, 80};
    s.pixelData = {0xA0, 0x80, 0, 0};
    const Pixel zero{30, 20, 10, 40};
    const Pixel one{70, 60, 50, 80};
    cases.push_back({"1", s, {one, zero, one, zero, zero, zero, zero, zero, one}});
  }
  {
    // 16 bits, 5-5-5: 0x7FFF reads as 248 in each channel; alpha 0.
    BmpLayout s;
    s.width = 2;
    s.height = 1;
    s.bits = 16;
    s.pixelData = {0xFF, 0x7F, 0x1F, 0x00};
    cases.push_back({"16", s, {{248, 248, 248, 0}, {0, 0, 248, 0}}});
  }
  return cases;
}

TEST(Image, LoadEachDepthWithItsAlphaRule) {
  TempDir dir;
  for (const auto& c : loadCases()) {
    const std::string path = writeBmp(dir, std::string(c.name) + ".bmp", c.layout);
    Status status{.cause = Cause::badSize};
    auto image = Image::load(path, {}, &status);
    ASSERT_TRUE(image) << c.name;
    EXPECT_EQ(status, Cause::ok);
    EXPECT_EQ(image->width(), c.layout.width) << c.name;
    EXPECT_EQ(image->height(), c.layout.height) << c.name;
    EXPECT_EQ(image->pixelCount(), c.layout.width * c.layout.height) << c.name;
    EXPECT_EQ(image->samplingMethod(), kPoint);
    ASSERT_EQ(image->pixels().size(), c.want.size()) << c.name;
    for (size_t i = 0; i < c.want.size(); ++i) {
      EXPECT_TRUE(samePixel(image->pixels()[i], c.want[i])) << c.name << " pixel " << i;
    }
  }
}

TEST(Image, LoadFailures) {
  TempDir dir;
  BmpLayout twoByTwo;
  twoByTwo.width = 2;
  twoByTwo.height = 2;
  twoByTwo.pixelData.assign(16, 0);
  const std::string good = writeBmp(dir, "good.bmp", twoByTwo);
  const std::string empty = dir.file("empty.bmp");
  test::writeBytes(empty, {});
  const std::string text = dir.file("text.bmp");
  test::writeBytes(text, {'h', 'e', 'l', 'l', 'o'});
  BmpLayout negative = twoByTwo;
  negative.height = -2;
  const std::string topDown = writeBmp(dir, "topdown.bmp", negative);

  struct Case {
    std::string path;
    int64_t maxPixels;
  };
  const Case cases[] = {
      {dir.file("missing.bmp"), Limits::kDefaultMaxPixels},
      {empty, Limits::kDefaultMaxPixels},
      {text, Limits::kDefaultMaxPixels},
      {topDown, Limits::kDefaultMaxPixels},
      {good, 3},  // a file over the limit is a load failure
  };
  for (const auto& c : cases) {
    Status status{.cause = Cause::ok};
    Limits limits;
    limits.maxPixels = c.maxPixels;
    EXPECT_FALSE(Image::load(c.path, limits, &status)) << c.path;
    EXPECT_FALSE(status.ok()) << c.path;
  }
  Limits four;
  four.maxPixels = 4;
  auto image = Image::load(good, four);
  ASSERT_TRUE(image);
  EXPECT_EQ(image->limits().maxPixels, 4);
}

// A load failure's sentence says once that the file could not be read, then why. Reading
// /proc/self/mem from its start fails with a real read error.
TEST(Image, LoadFailureSentencesSayItOnce) {
  const std::pair<std::string, std::string> cases[] = {
      {"/proc/self/mem", "the file could not be read: Input/output error"},
      {"/nonexistent/in.bmp", "cannot open the file: No such file or directory"},
  };
  for (const auto& [path, text] : cases) {
    ImageStatus status;
    EXPECT_FALSE(Image::load(path, {}, &status));
    EXPECT_EQ(to_string(status), text);
  }
}

// ---------------------------------------------------------------- saving

// A saved file through the reference decoder.
reference::Decoded readSaved(const std::string& path) { return reference::decode(test::readBytes(path)); }

// The pixels as a 24-bit file holds them: alpha 0.
std::vector<Pixel> withoutAlpha(std::vector<Pixel> pixels) {
  for (Pixel& p : pixels) p.a = 0;
  return pixels;
}

TEST(Image, SaveBlankWritesWhite24Bit) {
  TempDir dir;
  auto image = Image::create(3, 2);
  ASSERT_TRUE(image);
  const std::string path = dir.file("blank.bmp");
  ASSERT_TRUE(image->save(path));
  const reference::Decoded f = readSaved(path);
  EXPECT_EQ(f.raster.bits, 24);
  EXPECT_EQ(f.raster.width, 3);
  EXPECT_EQ(f.raster.height, 2);
  EXPECT_EQ(f.headers.file.bfOffBits, 54u);
  ASSERT_EQ(test::readBytes(path).size(), 54u + 2 * 12);
  EXPECT_EQ(reference::rgbaOf(f.raster), std::vector<Pixel>(6, Pixel{255, 255, 255, 0}));
}

TEST(Image, SavePaletteImageDropsTableAndKeepsColours) {
  TempDir dir;
  for (const auto& c : loadCases()) {
    auto image = Image::load(writeBmp(dir, std::string(c.name) + ".in.bmp", c.layout));
    ASSERT_TRUE(image) << c.name;
    const std::string out = dir.file(std::string(c.name) + ".out.bmp");
    ASSERT_TRUE(image->save(out)) << c.name;
    const reference::Decoded f = readSaved(out);
    EXPECT_EQ(f.raster.bits, 24) << c.name;
    EXPECT_EQ(f.headers.file.bfOffBits, 54u) << c.name;
    EXPECT_EQ(reference::rgbaOf(f.raster), withoutAlpha(c.want)) << c.name;
    // Reloaded from 24 bits: the same colours, alpha 0 throughout.
    auto again = Image::load(out);
    ASSERT_TRUE(again);
    EXPECT_EQ(pixelsOf(*again), withoutAlpha(c.want)) << c.name;
  }
}

TEST(Image, SaveWritesCurrentPixelsAndSavingTwiceIsStable) {
  TempDir dir;
  auto image = test::makeTestImage(5, 4);
  ASSERT_TRUE(image);
  image->pixel(4, 3) = Pixel{1, 2, 3, 4};
  ASSERT_TRUE(image->save(dir.file("a.bmp")));
  ASSERT_TRUE(image->save(dir.file("b.bmp")));
  EXPECT_EQ(test::readBytes(dir.file("a.bmp")), test::readBytes(dir.file("b.bmp")));
  const reference::Decoded f = readSaved(dir.file("a.bmp"));
  ASSERT_EQ(f.raster.width, 5);
  ASSERT_EQ(f.raster.height, 4);
  EXPECT_EQ(reference::rgbaOf(f.raster), withoutAlpha(pixelsOf(*image)));
}

// saveMemory gives save's bytes: blank, random odd widths (every row padding), a loaded
// palette file with its own resolution, and an edited copy.
TEST(Image, SaveMemoryWritesWhatSaveWrites) {
  TempDir dir;
  BmpLayout palette;
  palette.width = 3;
  palette.height = 2;
  palette.bits = 8;
  for (int k = 0; k < 256; ++k) {
    palette.table.insert(palette.table.end(), {uint8_t(k), uint8_t(255 - k), uint8_t(k / 2), 0});
  }
  palette.pixelData = {7, 200, 3, 0, 9, 1, 250, 0};
  std::vector<uint8_t> paletteBytes = makeBmp(palette);
  paletteBytes[38] = 0x10;  // biXPelsPerMeter 0x10 + 0x1000
  paletteBytes[39] = 0x10;
  paletteBytes[42] = 0x21;  // biYPelsPerMeter 0x21
  test::writeBytes(dir.file("palette.bmp"), paletteBytes);

  std::vector<std::pair<std::string, std::unique_ptr<Image>>> images;
  images.emplace_back("blank", Image::create(2, 3));
  for (int32_t width = 1; width <= 5; ++width) {
    images.emplace_back("random " + std::to_string(width), test::randomImage(width, 3, 40u + uint32_t(width)));
  }
  images.emplace_back("palette", Image::load(dir.file("palette.bmp")));
  auto copy = Image::copyOf(*images.back().second);
  copy->pixel(1, 1) = Pixel{5, 6, 7, 8};
  images.emplace_back("copy", std::move(copy));

  for (auto& [name, image] : images) {
    ASSERT_TRUE(image) << name;
    std::vector<uint8_t> bytes;
    ASSERT_TRUE(image->saveMemory(bytes)) << name;
    ASSERT_TRUE(image->save(dir.file("saved.bmp"))) << name;
    EXPECT_EQ(bytes, test::readBytes(dir.file("saved.bmp"))) << name;
  }
}

// A save at another depth is the 24-bit file read back and changed by the codec, as
// `bmpfun convert` does it: with either reader (whose alpha differs at 32 bits), odd widths,
// the file's own resolution, to memory and to a file alike.
TEST(Image, SaveAtADepthIsTheCodecsChangeOfThe24BitFile) {
  TempDir dir;
  Limits extended;
  extended.extended = true;
  std::vector<std::pair<std::string, std::unique_ptr<Image>>> images;
  for (int32_t width = 1; width <= 5; ++width) {
    images.emplace_back("random " + std::to_string(width), test::randomImage(width, 3, 70u + uint32_t(width)));
  }
  std::vector<uint8_t> file;
  ASSERT_TRUE(images.back().second->saveMemory(file));
  file[38] = 0x21;  // biXPelsPerMeter 0x21, kept by every depth
  images.emplace_back("default reader", Image::loadMemory(file));
  images.emplace_back("extended reader", Image::loadMemory(file, extended));
  struct Depth {
    int32_t bits;
    bool alphaMasks;
  };
  for (const Depth depth : {Depth{1, false}, Depth{4, false}, Depth{8, false}, Depth{16, false}, Depth{24, false},
                            Depth{32, false}, Depth{32, true}, Depth{24, true}}) {
    SaveOptions options;
    options.alphaMasks = depth.alphaMasks;
    for (auto& [name, image] : images) {
      const std::string what = name + " at " + std::to_string(depth.bits) + (depth.alphaMasks ? "a" : "");
      ASSERT_TRUE(image) << what;
      std::vector<uint8_t> bytes24, expected, bytes;
      ASSERT_TRUE(image->saveMemory(bytes24)) << what;
      Bitmap bitmap;
      ASSERT_TRUE(bitmap.loadMemory(bytes24, image->limits())) << what;
      ASSERT_TRUE(bitmap.changeBitsPerPixel(depth.bits)) << what;
      ASSERT_TRUE(bitmap.saveMemory(expected, options)) << what;
      ASSERT_TRUE(image->saveMemory(bytes, depth.bits, options)) << what;
      EXPECT_EQ(bytes, expected) << what;
      ASSERT_TRUE(image->save(dir.file("depth.bmp"), depth.bits, options)) << what;
      EXPECT_EQ(test::readBytes(dir.file("depth.bmp")), expected) << what;
    }
  }
}

TEST(Image, SaveAtADepthTheCodecDoesNotWriteFails) {
  TempDir dir;
  auto image = Image::create(2, 2);
  ASSERT_TRUE(image);
  for (const int32_t bits : {0, 2, 3, 12, 64, -24}) {
    std::vector<uint8_t> out{1, 2, 3};
    Status status;
    EXPECT_FALSE(image->saveMemory(out, bits, {}, &status)) << bits;
    EXPECT_TRUE(out.empty()) << bits;
    EXPECT_EQ(status, Cause::unsupportedDepth) << bits;
    EXPECT_EQ(status.bitsPerPixel, static_cast<uint32_t>(bits)) << bits;
    EXPECT_FALSE(image->save(dir.file("x.bmp"), bits, {}, &status)) << bits;
    EXPECT_FALSE(std::filesystem::exists(dir.file("x.bmp"))) << bits;
  }
}

TEST(Image, SaveToUnwritablePathFails) {
  TempDir dir;
  auto image = Image::create(2, 2);
  ASSERT_TRUE(image);
  EXPECT_FALSE(image->save(dir.file("no/such/folder/x.bmp")));
  EXPECT_FALSE(image->save(dir.path().string()));  // a directory
}

// ---------------------------------------------------------------- copies

TEST(Image, CopyTakesCurrentPixelsNotTheLastLoad) {
  TempDir dir;
  const auto cases = loadCases();
  auto image = Image::load(writeBmp(dir, "in.bmp", cases[0].layout));
  ASSERT_TRUE(image);
  image->brightness(0.5);
  image->pixel(1, 0) = Pixel{9, 8, 7, 6};
  image->sampling(kGaussian);
  Status status{.cause = Cause::badSize};
  auto copy = Image::copyOf(*image, &status);
  ASSERT_TRUE(copy);
  EXPECT_EQ(status, Cause::ok);
  EXPECT_EQ(copy->width(), image->width());
  EXPECT_EQ(copy->height(), image->height());
  EXPECT_EQ(copy->pixelCount(), image->pixelCount());
  EXPECT_EQ(copy->samplingMethod(), kPoint);
  EXPECT_EQ(image->samplingMethod(), kGaussian);
  EXPECT_EQ(pixelsOf(*copy), pixelsOf(*image));
  EXPECT_TRUE(samePixel(copy->pixel(0, 0), Pixel{5, 4, 4, 0}));  // 9, 8, 7 halved
  // Independent storage.
  copy->pixel(0, 0) = Pixel{1, 1, 1, 1};
  EXPECT_TRUE(samePixel(image->pixel(0, 0), Pixel{5, 4, 4, 0}));
  // A copy of a copy that was never saved still carries the pixels, and saves at its size.
  auto second = Image::copyOf(*copy);
  ASSERT_TRUE(second);
  EXPECT_EQ(pixelsOf(*second), pixelsOf(*copy));
  ASSERT_TRUE(second->save(dir.file("second.bmp")));
  const reference::Decoded f = readSaved(dir.file("second.bmp"));
  EXPECT_EQ(f.raster.width, 2);
  EXPECT_EQ(f.raster.height, 2);
  EXPECT_EQ(reference::rgbaOf(f.raster).at(0), (Pixel{1, 1, 1, 0}));
}

// A copy saves the file its source saves: the resolution read from the file comes along (a
// chain applied to a copy then writes what `bmpfun apply` writes from the file itself).
TEST(Image, CopyKeepsTheResolutionItsSourceWasLoadedWith) {
  const struct {
    int32_t x, y;
  } cases[] = {{2835, 2835}, {1, 99999}, {0, 0}, {-5, 3780}};
  for (const auto& c : cases) {
    auto file = test::makeBmp({.width = 3, .height = 2, .pixelData = std::vector<uint8_t>(2 * 12, 0x5a)});
    std::memcpy(file.data() + 38, &c.x, 4);
    std::memcpy(file.data() + 42, &c.y, 4);
    auto image = Image::loadMemory(file);
    ASSERT_TRUE(image) << c.x;
    auto copy = Image::copyOf(*image);
    ASSERT_TRUE(copy);
    EXPECT_EQ(copy->xPixelsPerMeter(), image->xPixelsPerMeter()) << c.x;
    EXPECT_EQ(copy->yPixelsPerMeter(), image->yPixelsPerMeter()) << c.y;
    std::vector<uint8_t> fromImage, fromCopy;
    ASSERT_TRUE(image->saveMemory(fromImage));
    ASSERT_TRUE(copy->saveMemory(fromCopy));
    EXPECT_EQ(fromCopy, fromImage) << c.x << " " << c.y;
  }
  auto made = Image::create(2, 2);
  ASSERT_TRUE(made);
  EXPECT_EQ(Image::copyOf(*made)->xPixelsPerMeter(), 0);
}

TEST(Image, CopyInheritsLimits) {
  Limits limits;
  limits.maxPixels = 50;
  auto image = Image::create(5, 10, limits);
  ASSERT_TRUE(image);
  auto copy = Image::copyOf(*image);
  ASSERT_TRUE(copy);
  EXPECT_EQ(copy->limits().maxPixels, 50);
}

}  // namespace
}  // namespace bmpfun
