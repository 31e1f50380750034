// The extended reader on hand-made files: one case per rule the public suite does not cover
// (or covers only together with others), each with every pixel it must give.
#include <bmpfun/bmp.hpp>
#include <bmpfun/image.hpp>

#include "support/test_support.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace bmpfun {
namespace {

using test::putU16;
using test::putU32;

constexpr Pixel kUndrawn{0, 0, 0, 0};
constexpr Pixel kBlack{0, 0, 0, 255};
constexpr Pixel kRed{255, 0, 0, 255};
constexpr Pixel kGreen{0, 255, 0, 255};
constexpr Pixel kBlue{0, 0, 255, 255};
constexpr Pixel kWhite{255, 255, 255, 255};

// A file with any info header. infoSize 12 writes the OS/2 1.x fields (16-bit width, height,
// planes, depth); 16 to 39 the first infoSize bytes of the Windows fields; 40 and more the
// Windows fields, then `masks` from offset 54 on and zeros up to the header's end. After the
// header come `extra` (masks after a header, a table) and `data`.
struct Recipe {
  uint32_t infoSize = 40;
  int32_t width = 1;
  int32_t height = 1;
  uint16_t bits = 24;
  uint32_t compression = 0;
  uint32_t colorsUsed = 0;
  std::vector<uint32_t> masks;
  std::vector<uint8_t> extra;
  std::vector<uint8_t> data;
  int64_t offBits = -1;  // -1: right after extra
};

std::vector<uint8_t> build(const Recipe& s) {
  std::vector<uint8_t> info;
  if (s.infoSize == 12) {
    putU32(info, 12);
    putU16(info, static_cast<uint16_t>(s.width));
    putU16(info, static_cast<uint16_t>(s.height));
    putU16(info, 1);
    putU16(info, s.bits);
  } else {
    putU32(info, s.infoSize);
    putU32(info, static_cast<uint32_t>(s.width));
    putU32(info, static_cast<uint32_t>(s.height));
    putU16(info, 1);
    putU16(info, s.bits);
    putU32(info, s.compression);
    putU32(info, static_cast<uint32_t>(s.data.size()));
    putU32(info, 2835);
    putU32(info, 2835);
    putU32(info, s.colorsUsed);
    putU32(info, 0);
    for (const uint32_t mask : s.masks) putU32(info, mask);
    info.resize(s.infoSize, 0);
  }
  const size_t offBits = s.offBits >= 0 ? static_cast<size_t>(s.offBits) : 14 + info.size() + s.extra.size();
  std::vector<uint8_t> out;
  putU16(out, 19778);
  putU32(out, static_cast<uint32_t>(14 + info.size() + s.extra.size() + s.data.size()));
  putU32(out, 0);
  putU32(out, static_cast<uint32_t>(offBits));
  out.insert(out.end(), info.begin(), info.end());
  out.insert(out.end(), s.extra.begin(), s.extra.end());
  out.insert(out.end(), s.data.begin(), s.data.end());
  return out;
}

// Table entries: 4 bytes each (blue, green, red, 0), or 3 for an OS/2 1.x header.
std::vector<uint8_t> table(const std::vector<Pixel>& colours, size_t entryBytes = 4) {
  std::vector<uint8_t> out;
  for (const Pixel& c : colours) {
    out.insert(out.end(), {c.b, c.g, c.r});
    if (entryBytes == 4) out.push_back(0);
  }
  return out;
}

std::vector<uint8_t> words(const std::vector<uint32_t>& values) {
  std::vector<uint8_t> out;
  for (const uint32_t v : values) putU32(out, v);
  return out;
}

const std::vector<uint8_t> kRgbTable = table({kRed, kGreen, kBlue});
const std::vector<uint32_t> kBgra = {0x00FF0000, 0x0000FF00, 0x000000FF, 0xFF000000};

struct Case {
  const char* rule;
  std::vector<uint8_t> file;
  BmpCause cause;              // ok: the file loads
  std::string text;            // the refusal's sentence, or the warnings of a file that loads
  int32_t width = 0;
  int32_t height = 0;
  std::vector<Pixel> pixels;   // row-major, top row first
};

Case loads(const char* rule, const Recipe& recipe, int32_t width, int32_t height, std::vector<Pixel> pixels,
           std::string warning = "") {
  return {rule, build(recipe), BmpCause::ok, std::move(warning), width, height, std::move(pixels)};
}
Case refused(const char* rule, const Recipe& recipe, BmpCause cause, std::string text) {
  return {rule, build(recipe), cause, std::move(text)};
}

std::vector<Case> cases() {
  const auto U = kUndrawn;
  const auto R = kRed, G = kGreen, B = kBlue;
  std::vector<Case> c = {
      // Rows and depths.
      loads("a negative height stores the top row first",
            {.width = 2, .height = -2, .data = {1, 2, 3, 4, 5, 6, 0, 0, 7, 8, 9, 10, 11, 12, 0, 0}}, 2, 2,
            {{3, 2, 1, 255}, {6, 5, 4, 255}, {9, 8, 7, 255}, {12, 11, 10, 255}}),
      loads("the fourth byte of a 32-bit pixel without masks is padding", {.bits = 32, .data = {10, 20, 30, 0}}, 1, 1,
            {{30, 20, 10, 255}}),
      loads("16-bit channels scale by rounding: 31 -> 255, 1 -> 8, 16 -> 132",
            {.width = 3, .bits = 16, .data = {0xFF, 0x7F, 0x21, 0x04, 0x10, 0x42, 0, 0}}, 3, 1,
            {kWhite, {8, 8, 8, 255}, {132, 132, 132, 255}}),
      loads("2 bits per pixel, high bits first",
            {.width = 5, .bits = 2, .extra = table({R, G, B, kWhite}), .data = {0x1B, 0xC0, 0, 0}}, 5, 1,
            {R, G, B, kWhite, kWhite}),
      loads("rows the file lacks are undrawn, a row cut short too",
            {.width = 1, .height = 3, .data = {1, 2, 3, 0, 4, 5}}, 1, 3, {U, U, {3, 2, 1, 255}},
            "the pixel data ends early: 1 of 3 rows arrived"),
      loads("bfOffBits inside the headers: the rows start right after them",
            {.width = 1, .data = {1, 2, 3, 0}, .offBits = 20}, 1, 1, {{3, 2, 1, 255}}),
      loads("bfOffBits inside a longer header: the rows start there, as the default reader starts them",
            {.infoSize = 60, .width = 1, .masks = {0x00030201}, .data = {9, 9, 9, 0}, .offBits = 54}, 1, 1,
            {{3, 2, 1, 255}}),
      loads("bfOffBits inside a longer header of an 8-bit file: no table entries, rows from there",
            {.infoSize = 60, .width = 1, .bits = 8, .masks = {0x00000001}, .extra = table({R, G}), .offBits = 54},
            1, 1, {kBlack}),
      loads("a gap between the table and bfOffBits is skipped",
            {.width = 1, .bits = 8, .extra = [&] {
               auto t = table({R, G});
               t.insert(t.end(), {9, 9, 9, 9});
               return t;
             }(),
             .data = {1, 0, 0, 0}},
            1, 1, {G}),

      // Colour tables.
      loads("an index past the entries read is opaque black",
            {.width = 2, .bits = 8, .extra = table({R, G}), .data = {1, 7, 0, 0}}, 2, 1, {G, kBlack}),
      loads("biClrUsed below the depth's count: later entries are not read even when present",
            {.width = 2, .bits = 8, .colorsUsed = 2, .extra = table({R, G, B}), .data = {1, 2, 0, 0}}, 2, 1,
            {G, kBlack}),
      loads("OS/2 1.x: 12-byte header, 16-bit sizes, 3-byte entries",
            {.infoSize = 12, .width = 2, .bits = 1, .extra = table({R, G}, 3), .data = {0x40, 0, 0, 0}}, 2, 1,
            {R, G}),
      loads("OS/2 1.x: a 3-byte table cut short by bfOffBits leaves the rest black",
            {.infoSize = 12, .width = 3, .bits = 8, .extra = table({R, G}, 3), .data = {0, 1, 2, 0}}, 3, 1,
            {R, G, kBlack}),
      loads("OS/2 1.x: a 3-byte table cut short by the end of the file",
            [&] {
              Recipe s{.infoSize = 12, .width = 1, .bits = 4, .extra = table({R, G}, 3)};
              s.extra.push_back(0);  // a third entry that stops after one byte
              s.offBits = 26 + 16 * 3;
              return s;
            }(),
            1, 1, {U}, "the colour table ends early: 2 of 16 entries arrived; the pixel data ends early: 0 of 1 rows arrived"),
      loads("OS/2 2.x, 16 bytes: 4-byte entries right after the header",
            {.infoSize = 16, .width = 2, .bits = 8, .extra = table({R, G}), .data = {1, 0, 0, 0}}, 2, 1, {G, R}),

      // Bit fields.
      loads("alpha bit fields after a 40-byte header (compression 6)",
            {.bits = 32, .compression = 6, .extra = words(kBgra), .data = {1, 2, 3, 128}}, 1, 1, {{3, 2, 1, 128}}),
      loads("masks inside a V5 header; an alpha channel that is 0 everywhere means opaque",
            {.infoSize = 124, .width = 2, .bits = 32, .compression = 3, .masks = kBgra, .data = {1, 2, 3, 0, 4, 5, 6, 0}},
            2, 1, {{3, 2, 1, 255}, {6, 5, 4, 255}}),
      loads("alpha 0 in the one row of three that arrived: that row (the bottom one) opaque, the rest undrawn",
            {.height = 3, .bits = 32, .compression = 6, .extra = words(kBgra), .data = {1, 2, 3, 0}}, 1, 3,
            {U, U, {3, 2, 1, 255}}, "the pixel data ends early: 1 of 3 rows arrived"),
      loads("masks inside a V5 header; one alpha field not 0 keeps every alpha",
            {.infoSize = 124, .width = 2, .bits = 32, .compression = 3, .masks = kBgra, .data = {1, 2, 3, 0, 4, 5, 6, 7}},
            2, 1, {{3, 2, 1, 0}, {6, 5, 4, 7}}),
      loads("an unknown longer header holds its masks at 54, as the V4 and V5 headers do",
            {.infoSize = 66, .bits = 32, .compression = 3, .masks = kBgra, .data = {1, 2, 3, 128}}, 1, 1,
            {{3, 2, 1, 128}}),
      loads("masks wider than 8 bits round too: 10-10-10-2",
            {.bits = 32, .compression = 6, .extra = words({0x3FF00000, 0x000FFC00, 0x000003FF, 0xC0000000}),
             .data = {0x01, 0x00, 0xF8, 0x7F}},  // alpha 1, red 1023, green 512, blue 1
            1, 1, {{255, 128, 0, 85}}),
      loads("a zero colour mask gives 0 in that channel",
            {.bits = 16, .compression = 3, .extra = words({0xF800, 0x07E0, 0}), .data = {0xFF, 0xFF, 0, 0}}, 1, 1,
            {{255, 255, 0, 255}}),
      loads("mask bits above the depth are dropped",
            {.bits = 16, .compression = 3, .extra = words({0xFFFF7C00, 0x03E0, 0x001F}), .data = {0x00, 0x7C, 0, 0}}, 1,
            1, {R}),
      refused("32-bit masks with a gap are refused",
              {.bits = 32, .compression = 3, .extra = words({0x00F0F000, 0x0000000F, 0xF0000000})},
              BmpCause::masksNotContiguous, "bit masks that are not contiguous are not supported"),
      refused("masks that share bits are refused",
              {.bits = 32, .compression = 6, .extra = words({0x00FF0000, 0x0000FF00, 0x000000FF, 0xFF800000})},
              BmpCause::masksOverlap, "bit masks that overlap are not supported"),
      loads("16-bit masks with a gap, which the default reader takes: its layout, the mask's bits gathered",
            {.width = 2, .bits = 16, .compression = 3, .extra = words({0x5000, 0x03E0, 0x001F}),
             .data = {0x00, 0x50, 0x00, 0x10}},
            2, 1, {{255, 0, 0, 255}, {85, 0, 0, 255}},
            "the headers break the extended reader's rules; read with the default reader's layout"),

      // RLE.
      loads("RLE8: runs, an absolute run padded to 16 bits, end of line, end of bitmap",
            {.width = 4, .height = 3, .bits = 8, .compression = 1, .extra = kRgbTable,
             .data = {2, 0, 0, 0, 0, 3, 1, 2, 1, 0, 0, 1}},
            4, 3, {U, U, U, U, G, B, G, U, R, R, U, U}),
      loads("RLE8: a run past the row end is dropped and the cursor stays on the row",
            {.width = 2, .height = 2, .bits = 8, .compression = 1, .extra = kRgbTable,
             .data = {5, 1, 1, 2, 0, 0, 1, 0, 0, 1}},
            2, 2, {R, U, G, G}),
      loads("RLE8: deltas off the image are clamped to the width, and past the last row end the picture",
            {.width = 3, .height = 3, .bits = 8, .compression = 1, .extra = kRgbTable,
             .data = {0, 2, 1, 1, 1, 1, 0, 2, 5, 0, 1, 2, 0, 2, 0, 5, 1, 0}},
            3, 3, {U, U, U, U, G, U, U, U, U}),
      loads("RLE8: data that ends without an end of bitmap leaves the rest undrawn",
            {.width = 2, .height = 2, .bits = 8, .compression = 1, .extra = kRgbTable, .data = {2, 0}}, 2, 2,
            {U, U, R, R}, "the pixel data ends early: 0 of 2 rows arrived"),
      loads("RLE8 top-down: the first row is the top one and a delta moves down",
            {.width = 2, .height = -3, .bits = 8, .compression = 1, .extra = kRgbTable,
             .data = {1, 0, 0, 2, 0, 1, 1, 1, 0, 1}},
            2, 3, {R, U, U, G, U, U}),
      loads("RLE8: indices past the table are opaque black",
            {.width = 2, .bits = 8, .compression = 1, .extra = kRgbTable, .data = {1, 9, 1, 2, 0, 1}}, 2, 1,
            {kBlack, B}),
      loads("RLE4: runs alternate high and low nibble; an odd absolute run is padded to 16 bits",
            {.width = 8, .bits = 4, .compression = 2, .extra = table({kBlack, R, G, B, kWhite, R}),
             .data = {3, 0x12, 0, 5, 0x12, 0x34, 0x50, 0, 0, 1}},
            8, 1, {R, G, R, R, G, B, kWhite, R}),

      // Refusals name the variant.
      refused("RLE8 at a depth other than 8", {.bits = 4, .compression = 1}, BmpCause::unsupportedCompression,
              "RLE8 compression is not supported at 4 bits per pixel"),
      refused("bit fields at 24 bits", {.bits = 24, .compression = 3}, BmpCause::unsupportedCompression,
              "bit fields (compression 3) is not supported at 24 bits per pixel"),
      refused("an embedded JPEG stream", {.bits = 0, .compression = 4}, BmpCause::unsupportedCompression,
              "an embedded JPEG stream (compression 4) is not supported"),
      refused("OS/2 Huffman 1D", {.infoSize = 64, .bits = 1, .compression = 3}, BmpCause::unsupportedCompression,
              "OS/2 Huffman 1D compression is not supported"),
      refused("64 bits per pixel", {.bits = 64}, BmpCause::unsupportedDepth, "64 bits per pixel is not supported"),
      refused("16 bits in an OS/2 1.x header", {.infoSize = 12, .bits = 16}, BmpCause::unsupportedDepth,
              "16 bits per pixel is not supported in an OS/2 1.x header"),
      refused("an info header size no header has", {.infoSize = 8, .extra = std::vector<uint8_t>(40, 0)},
              BmpCause::unsupportedHeader,
              "an info header of 8 bytes is not supported"),
      refused("a height of -2^31", {.height = INT32_MIN}, BmpCause::badSize,
              "a height of -2147483648 is out of range (a top-down file's row count must be at most 2147483647)"),
      refused("a width of 0 and a height of -2^31", {.width = 0, .height = INT32_MIN}, BmpCause::badSize,
              "a size of 0 x -2147483648 is not supported (a picture needs at least one column and one row, and "
              "a height from -2147483647 to 2147483647)"),
      refused("a top-down file past the limit", {.width = 65536, .height = -65536}, BmpCause::tooLarge,
              "65536 x 65536 pixels passes the limit of 268435456 pixels"),

      // Opting in never loses a file.
      loads("a 12-byte size over fields that read well as a 40-byte header: the default reader's layout",
            {.width = 1, .height = 1, .bits = 24, .data = {1, 2, 3, 0}}, 1, 1, {{3, 2, 1, 255}}),
      loads("the same with its table and rows cut short: every warning is kept",
            {.width = 1, .height = 1, .bits = 8, .extra = table({R}), .offBits = 54 + 4 * 256}, 1, 1, {U},
            "; the colour table ends early: 1 of 256 entries arrived; the pixel data ends early: 0 of 1 rows arrived"),
  };
  // The last two files get their 12-byte size field: as OS/2 1.x their height (bytes 20-21,
  // the high half of the 40-byte width) is 0, which these rules refuse.
  for (size_t k = c.size() - 2; k < c.size(); ++k) {
    c[k].file[14] = 12;
    c[k].text = "the headers break the extended reader's rules; read with the default reader's layout" + c[k].text;
  }
  return c;
}

void PrintTo(const Case& c, std::ostream* os) { *os << c.rule; }

// The resolution a read leaves: the file's when its header has the field (an OS/2 1.x header
// and OS/2 2.x headers of fewer than 32 bytes do not) or it was read with the default
// reader's layout; 0 (unset) otherwise.
int32_t resolutionOf(const Case& c) {
  const uint32_t infoSize = test::getU32(c.file, 14);
  const bool defaultLayout = c.text.find("default reader's layout") != std::string::npos;
  return defaultLayout || (infoSize != 12 && infoSize >= 32) ? static_cast<int32_t>(test::getU32(c.file, 38)) : 0;
}

class ExtendedRules : public ::testing::TestWithParam<Case> {};

TEST_P(ExtendedRules, GiveTheirPixels) {
  const Case& c = GetParam();
  Limits limits;
  limits.extended = true;
  ImageStatus status;
  const auto image = Image::loadMemory(c.file, limits, &status);
  Bitmap bitmap;
  BmpStatus codec;
  EXPECT_EQ(bitmap.loadMemory(c.file, limits, &codec), c.cause == BmpCause::ok);
  EXPECT_EQ(codec.cause, c.cause) << to_string(codec);
  EXPECT_EQ(status.cause, c.cause);
  if (c.cause != BmpCause::ok) {
    EXPECT_FALSE(image);
    EXPECT_EQ(to_string(codec), c.text);
    // Like the default reader's refusals: 1 x 1 at 1 bit, with the file's resolution.
    EXPECT_EQ(bitmap.width(), 1);
    EXPECT_EQ(bitmap.bitsPerPixel(), 1);
    EXPECT_EQ(bitmap.xPixelsPerMeter(), resolutionOf(c));
    return;
  }
  EXPECT_EQ(image->xPixelsPerMeter(), resolutionOf(c));
  ASSERT_TRUE(image) << to_string(status);
  EXPECT_EQ(warningText(codec), c.text);
  ASSERT_EQ(image->width(), c.width);
  ASSERT_EQ(image->height(), c.height);
  ASSERT_EQ(c.pixels.size(), image->pixels().size());
  for (size_t i = 0; i < c.pixels.size(); ++i) {
    EXPECT_TRUE(test::samePixel(image->pixels()[i], c.pixels[i])) << "pixel " << i;
    const BitmapPixel b = bitmap.data()[i];
    EXPECT_TRUE(test::samePixel(Pixel{b.red, b.green, b.blue, b.alpha}, c.pixels[i])) << "bitmap pixel " << i;
  }
}

INSTANTIATE_TEST_SUITE_P(HandMade, ExtendedRules, ::testing::ValuesIn(cases()),
                         [](const ::testing::TestParamInfo<Case>& info) { return "rule" + std::to_string(info.index); });

// Every file the default reader takes, the extended one takes; a refusal by the default reader
// says "read it with --extended" exactly when the extended reader reads the file.
TEST(ExtendedReader, TheDefaultReadersMarkIsExact) {
  struct Mark {
    const char* file;
    Recipe recipe;
    bool extendedReads;
    const char* defaultText = nullptr;  // the default reader's sentence, where it matters
  };
  const Mark marks[] = {
      {"RLE8", {.bits = 8, .compression = 1}, true},
      {"RLE8 at 4 bits", {.bits = 4, .compression = 1}, false},
      {"top-down", {.height = -1}, true},
      {"top-down past the limit", {.width = 65536, .height = -65536}, false},
      {"32-bit masks", {.bits = 32, .compression = 3, .extra = words({0xFF0000, 0xFF00, 0xFF})}, true},
      {"32-bit masks with a gap", {.bits = 32, .compression = 3, .extra = words({0xF0F000, 0xF, 0xF0000000})}, false},
      {"2 bits", {.bits = 2}, true},
      {"64 bits", {.bits = 64}, false},
      {"OS/2 1.x", {.infoSize = 12, .bits = 8}, true, "an OS/2 1.x header (12 bytes) is not supported"},
      // Read as 40 bytes, the short header's "compression" is the table's first entry.
      {"OS/2 2.x, 16 bytes", {.infoSize = 16, .bits = 8, .extra = table({kRed, kGreen}), .data = {0, 1, 0, 0}}, true,
       "an OS/2 2.x header (16 bytes) is not supported"},
      // Headers of 20 to 39 bytes hold a real compression field; every field may read well.
      {"OS/2 2.x, 20 bytes, 3 x 2 at 24 bits",
       {.infoSize = 20, .width = 3, .height = 2, .bits = 24, .data = std::vector<uint8_t>(24, 0x40)}, true,
       "an OS/2 2.x header (20 bytes) is not supported"},
      {"OS/2 2.x, 36 bytes", {.infoSize = 36, .width = 3, .bits = 8, .extra = table({kRed}), .data = {0, 0, 0, 0}},
       true, "an OS/2 2.x header (36 bytes) is not supported"},
      {"OS/2 2.x, 39 bytes", {.infoSize = 39, .bits = 24, .data = {1, 2, 3, 0}}, true,
       "an OS/2 2.x header (39 bytes) is not supported"},
      {"OS/2 1.x at 16 bits", {.infoSize = 12, .bits = 16}, false},
      {"embedded PNG", {.bits = 0, .compression = 5}, false},
  };
  Limits extended;
  extended.extended = true;
  for (const Mark& m : marks) {
    const std::vector<uint8_t> file = build(m.recipe);
    Bitmap bitmap;
    BmpStatus status;
    EXPECT_FALSE(bitmap.loadMemory(file, {}, &status)) << m.file;
    EXPECT_EQ(status.extendedReads, m.extendedReads) << m.file << ": " << to_string(status);
    if (m.defaultText != nullptr) EXPECT_EQ(to_string(status), m.defaultText);
    EXPECT_EQ(bitmap.loadMemory(file, extended), m.extendedReads) << m.file;
  }
  // Cut inside the 40-byte reading: a 12-byte header is whole at 26 bytes and named as the
  // cause; one byte less and the headers are cut.
  for (const size_t size : {26, 25}) {
    std::vector<uint8_t> os2 = build({.infoSize = 12, .bits = 8});
    os2.resize(size);
    BmpStatus status;
    Bitmap bitmap;
    EXPECT_FALSE(bitmap.loadMemory(os2, {}, &status));
    EXPECT_EQ(status.cause, size == 26 ? BmpCause::unsupportedHeader : BmpCause::headerCut) << size;
    EXPECT_EQ(status.extendedReads, size == 26) << size;
  }
}

// What a Bitmap holds after an extended read: the depth it can write back without losing a
// pixel, the file's colours as its table (fourth byte 0), and every pixel's RGBA.
TEST(ExtendedReader, BitmapDepthAndTable) {
  struct Kept {
    const char* file;
    Recipe recipe;
    int32_t depth;
  };
  const Kept kept[] = {
      {"RLE8", {.bits = 8, .compression = 1, .extra = kRgbTable, .data = {1, 1, 0, 1}}, 8},
      {"RLE4", {.bits = 4, .compression = 2, .extra = kRgbTable, .data = {1, 0x11, 0, 1}}, 4},
      {"2 bits", {.bits = 2, .extra = kRgbTable, .data = {0x40, 0, 0, 0}}, 4},
      {"16 bits with an alpha mask", {.bits = 16, .compression = 6, .extra = words({0xF00, 0xF0, 0xF, 0xF000}), .data = {0x10, 0xF0, 0, 0}}, 32},
      {"16 bits with masks", {.bits = 16, .compression = 3, .extra = words({0xF800, 0x7E0, 0x1F}), .data = {0, 0, 0, 0}}, 16},
      {"OS/2 1.x at 24 bits", {.infoSize = 12, .bits = 24, .data = {0, 0, 0, 0}}, 24},
  };
  Limits limits;
  limits.extended = true;
  for (const Kept& k : kept) {
    Bitmap bitmap;
    ASSERT_TRUE(bitmap.loadMemory(build(k.recipe), limits)) << k.file;
    EXPECT_EQ(bitmap.bitsPerPixel(), k.depth) << k.file;
    if (k.depth <= 8) {
      ASSERT_EQ(bitmap.colorTable().size(), size_t{1} << k.depth) << k.file;
      EXPECT_EQ(bitmap.colorTable()[0], (BitmapPixel{0, 0, 255, 0})) << k.file;
      EXPECT_EQ(bitmap.colorTable()[1], (BitmapPixel{0, 255, 0, 0})) << k.file;
      EXPECT_EQ(bitmap.colorTable()[5], (BitmapPixel{0, 0, 0, 0})) << k.file << ": an entry the file lacks";
      EXPECT_EQ(bitmap.pixel(0, 0), (BitmapPixel{0, 255, 0, 255})) << k.file;
    }
  }
  // The 16-bit file with alpha keeps its alpha at 32 bits: 0xF010 -> alpha 15 of 15, red 0, green 1 of 15.
  Bitmap alpha;
  ASSERT_TRUE(alpha.loadMemory(build(kept[3].recipe), limits));
  EXPECT_EQ(alpha.pixel(0, 0), (BitmapPixel{0, 17, 0, 255}));
}

// 32 bits with alpha masks: a V5 header other programs read as transparency, read back to the
// same RGBA; plain 32 bits keep the 40-byte header.
TEST(ExtendedReader, AlphaMaskFilesReadBackToTheSameRgba) {
  const auto image = test::randomImage(5, 3, 11);
  Bitmap bitmap;
  ASSERT_TRUE(bitmap.resize(5, 3));
  ASSERT_TRUE(bitmap.changeBitsPerPixel(32));
  for (int32_t y = 0; y < 3; ++y) {
    for (int32_t x = 0; x < 5; ++x) {
      const Pixel p = image->pixel(x, y);
      bitmap.putPixel(x, y, BitmapPixel{p.b, p.g, p.r, p.a});
    }
  }
  std::vector<uint8_t> file;
  ASSERT_TRUE(bitmap.saveMemory(file, SaveOptions{.alphaMasks = true}));
  ASSERT_EQ(file.size(), 138u + 5 * 3 * 4);
  const std::pair<size_t, uint32_t> fields[] = {
      {2, 138 + 60}, {10, 138}, {14, 124}, {18, 5}, {22, 3}, {30, 3}, {34, 60}, {54, 0x00FF0000},
      {58, 0x0000FF00}, {62, 0x000000FF}, {66, 0xFF000000}, {70, 0x73524742}, {122, 4}, {126, 0}, {130, 0}};
  for (const auto& [at, value] : fields) EXPECT_EQ(test::getU32(file, at), value) << "offset " << at;
  EXPECT_EQ(test::getU16(file, 28), 32u);

  Limits limits;
  limits.extended = true;
  const auto back = Image::loadMemory(file, limits);
  ASSERT_TRUE(back);
  EXPECT_EQ(test::pixelsOf(*back), test::pixelsOf(*image));
  // The default reader refuses it and says which reader takes it.
  BmpStatus status;
  Bitmap byDefault;
  EXPECT_FALSE(byDefault.loadMemory(file, {}, &status));
  EXPECT_TRUE(status.extendedReads);
  std::vector<uint8_t> plain;
  ASSERT_TRUE(bitmap.saveMemory(plain));
  EXPECT_EQ(test::getU32(plain, 14), 40u);
  EXPECT_EQ(plain.size(), 54u + 5 * 3 * 4);
}

// With alpha masks the fourth byte is opacity: a picture whose alpha is 0 everywhere (how the
// default reader reads a file without alpha) is written opaque, any other alpha as it is.
TEST(ExtendedReader, AlphaMaskFilesOfPicturesWithoutAlphaAreOpaque) {
  struct Case {
    const char* what;
    std::vector<uint8_t> alpha;  // of pixels (0, 0), (1, 0), (0, 1), (1, 1)
    bool alphaMasks;
    std::vector<uint8_t> written;
  };
  const Case cases[] = {
      {"no alpha", {0, 0, 0, 0}, true, {255, 255, 255, 255}},
      {"one pixel barely there", {0, 0, 1, 0}, true, {0, 0, 1, 0}},
      {"opaque and clear", {255, 0, 255, 0}, true, {255, 0, 255, 0}},
      {"no alpha, 40-byte header", {0, 0, 0, 0}, false, {0, 0, 0, 0}},
  };
  for (const Case& c : cases) {
    Bitmap bitmap;
    ASSERT_TRUE(bitmap.resize(2, 2));
    ASSERT_TRUE(bitmap.changeBitsPerPixel(32));
    for (int32_t k = 0; k < 4; ++k) bitmap.putPixel(k % 2, k / 2, BitmapPixel{10, 20, 30, c.alpha[static_cast<size_t>(k)]});
    std::vector<uint8_t> file;
    ASSERT_TRUE(bitmap.saveMemory(file, SaveOptions{.alphaMasks = c.alphaMasks})) << c.what;
    const size_t data = test::getU32(file, 10);
    for (size_t k = 0; k < 4; ++k) {
      const size_t at = data + 4 * ((1 - k / 2) * 2 + k % 2);  // rows bottom first
      EXPECT_EQ(file[at + 3], c.written[k]) << c.what << ", pixel " << k;
      EXPECT_EQ(file[at], 10) << c.what << ", pixel " << k;
    }
  }
}

// A small RLE file announcing a large picture costs the grid and no more: it is refused past
// the limit before anything is allocated, and within it decodes to undrawn pixels.
TEST(ExtendedReader, LargeAnnouncedSizesCostOneGrid) {
  const std::vector<uint8_t> file = build({.width = 16384, .height = 16384, .bits = 8, .compression = 1,
                                           .extra = kRgbTable, .data = {0, 2, 255, 255, 3, 1, 0, 1}});
  EXPECT_LT(file.size(), 100u);
  Limits small;
  small.extended = true;
  small.maxPixels = int64_t{1} << 20;
  BmpStatus status;
  Bitmap bitmap;
  EXPECT_FALSE(bitmap.loadMemory(file, small, &status));
  EXPECT_EQ(status.cause, BmpCause::tooLarge);

  const std::vector<uint8_t> within = build({.width = 1024, .height = 1024, .bits = 8, .compression = 1,
                                             .extra = kRgbTable, .data = {0, 2, 255, 255, 3, 1, 0, 1}});
  const auto image = Image::loadMemory(within, small, nullptr);
  ASSERT_TRUE(image);
  // The delta moves 255 right and 255 rows up, where the run draws three pixels.
  for (int32_t y = 0; y < 1024; ++y) {
    for (int32_t x = 0; x < 1024; ++x) {
      const bool drawn = y == 1023 - 255 && x >= 255 && x < 258;
      ASSERT_TRUE(test::samePixel(image->pixel(x, y), drawn ? kGreen : kUndrawn)) << x << "," << y;
    }
  }
}

// The headers for display: the kind of header and exactly the fields it holds.
TEST(ExtendedReader, HeaderViewsListTheFieldsEachHeaderHas) {
  struct View {
    Recipe recipe;
    const char* kind;
    size_t fields;
    const char* last;
  };
  const View views[] = {
      {{.infoSize = 12}, "OS/2 1.x (12 bytes)", 10, "bcBitCount"},
      {{.infoSize = 16}, "OS/2 2.x (16 bytes)", 10, "biBitCount"},
      {{.infoSize = 24}, "OS/2 2.x (24 bytes)", 12, "biSizeImage"},
      {{.infoSize = 40}, "Windows (40 bytes)", 16, "biClrImportant"},
      {{.infoSize = 40, .bits = 32, .compression = 3, .extra = words({1, 2, 4})}, "Windows (40 bytes)", 19, "biBlueMask"},
      {{.infoSize = 40, .bits = 16, .compression = 6, .extra = words({1, 2, 4, 8})}, "Windows (40 bytes)", 20, "biAlphaMask"},
      {{.infoSize = 52}, "Windows with RGB masks (52 bytes)", 19, "biBlueMask"},
      {{.infoSize = 56}, "Windows with RGBA masks (56 bytes)", 20, "biAlphaMask"},
      {{.infoSize = 64}, "OS/2 2.x (64 bytes)", 24, "ulIdentifier"},
      {{.infoSize = 66}, "unknown (66 bytes)", 16, "biClrImportant"},
      {{.infoSize = 66, .bits = 32, .compression = 3}, "unknown (66 bytes)", 20, "biAlphaMask"},
      {{.infoSize = 108}, "Windows V4 (108 bytes)", 33, "biGammaBlue"},
      {{.infoSize = 124}, "Windows V5 (124 bytes)", 37, "biReserved"},
  };
  for (const View& v : views) {
    BmpHeaderView view;
    BmpStatus status;
    ASSERT_TRUE(describeHeaders(build(v.recipe), view, &status)) << v.kind << ": " << to_string(status);
    EXPECT_EQ(view.kind, v.kind);
    ASSERT_EQ(view.fields.size(), v.fields) << v.kind;
    EXPECT_EQ(view.fields.back().name, v.last) << v.kind;
  }
  struct Refusal {
    std::vector<uint8_t> bytes;
    std::string text;
  };
  std::vector<uint8_t> cut = build({.infoSize = 124});
  cut.resize(100);
  const Refusal refusals[] = {
      {{'B', 'A', 0, 0}, "not a BMP file (it does not start with \"BM\")"},
      {cut, "the headers are cut short (100 bytes; they need 138)"},
      {build({.infoSize = 8, .extra = std::vector<uint8_t>(40, 0)}), "an info header of 8 bytes is not supported"},
  };
  for (const Refusal& r : refusals) {
    BmpHeaderView view;
    BmpStatus status;
    EXPECT_FALSE(describeHeaders(r.bytes, view, &status));
    EXPECT_EQ(to_string(status), r.text);
  }
}

// The command line: --extended reads, 32a writes alpha masks, a refusal says when --extended
// helps, and info names the header.
TEST(ExtendedCli, ConvertInfoAndTheirMessages) {
  test::TempDir dir;
  const auto suite = test::testdata() / "bmpsuite";
  const std::string rle = (suite / "g/pal8rle.bmp").string(), jpeg = (suite / "q/rgb24jpeg.bmp").string(),
                    os2 = (suite / "g/pal8os2.bmp").string(), out = dir.file("out.bmp");

  test::RunResult r = test::runCli({"convert", rle, out});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.err, "Error loading image: " + rle + ": RLE8 compression is not supported (read it with --extended)\n");
  r = test::runCli({"--extended", "convert", jpeg, out});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.err, "Error loading image: " + jpeg + ": an embedded JPEG stream (compression 4) is not supported\n");
  r = test::runCli({"convert", jpeg, out});
  EXPECT_EQ(r.err, "Error loading image: " + jpeg + ": an embedded JPEG stream (compression 4) is not supported\n");
  EXPECT_FALSE(std::filesystem::exists(out));

  // Without BITS a file whose alpha comes from an alpha mask is written with one (32a), and
  // reads back with every pixel's alpha.
  const std::string rgba32 = (suite / "q/rgba32-1.bmp").string(), rgba16 = (suite / "q/rgba16-4444.bmp").string(),
                    fields32 = (suite / "g/rgb32bf.bmp").string();
  struct Written {
    std::vector<std::string> args;
    uint32_t infoSize, bits, compression;
    std::string readsAs = "";  // a file whose --extended reading the output's must equal
  };
  const Written written[] = {
      {{"--extended", "convert", rle, out}, 40, 8, 0},
      {{"convert", rle, out, "32", "--extended"}, 40, 32, 0},
      {{"--extended", "convert", rle, out, "32a"}, 124, 32, 3},
      {{"--extended", "convert", os2, out}, 40, 8, 0},
      {{"--extended", "convert", rgba32, out}, 124, 32, 3, rgba32},
      {{"--extended", "convert", rgba16, out}, 124, 32, 3, rgba16},
      {{"--extended", "convert", fields32, out}, 40, 32, 0, fields32},
      {{"--extended", "convert", rgba32, out, "32"}, 40, 32, 0},
  };
  Limits extended;
  extended.extended = true;
  for (const Written& w : written) {
    r = test::runCli(w.args);
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_TRUE(r.err.empty()) << r.err;
    const std::vector<uint8_t> file = test::readBytes(out);
    EXPECT_EQ(test::getU32(file, 14), w.infoSize) << w.args[2];
    EXPECT_EQ(test::getU16(file, 28), w.bits) << w.args[2];
    EXPECT_EQ(test::getU32(file, 30), w.compression) << w.args[2];
    if (w.readsAs.empty()) continue;
    const auto want = Image::load(w.readsAs, extended), got = Image::load(out, extended);
    ASSERT_TRUE(want && got) << w.readsAs;
    EXPECT_EQ(test::pixelsOf(*got), test::pixelsOf(*want)) << w.readsAs;
  }
  r = test::runCli({"convert", rle, out, "33a"});
  EXPECT_EQ(r.exitCode, 2);

  // info: the 40-byte fields as always, or with --extended (and for an OS/2 header shorter
  // than 40 bytes, whose 40-byte reading would be garbage) the header's own.
  const std::string os2Fields =
      "header: OS/2 1.x (12 bytes)\nbfType: 19778\nbfSize: 8986\nbfReserved1: 0\nbfReserved2: 0\n"
      "bfOffBits: 794\nbcSize: 12\nbcWidth: 127\nbcHeight: 64\nbcPlanes: 1\nbcBitCount: 8\n";
  for (const auto& args : {std::vector<std::string>{"info", os2}, std::vector<std::string>{"--extended", "info", os2}}) {
    r = test::runCli(args);
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, os2Fields);
    EXPECT_TRUE(r.err.empty()) << r.err;
  }
  std::vector<uint8_t> cut = test::readBytes(os2);
  cut.resize(20);
  test::writeBytes(dir.file("cut.bmp"), cut);
  r = test::runCli({"info", dir.file("cut.bmp")});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_TRUE(r.out.empty());
  EXPECT_EQ(r.err, "bmpfun: " + dir.file("cut.bmp") + ": the headers are cut short (20 bytes; they need 26)\n");
  r = test::runCli({"info", (suite / "g/pal8v5.bmp").string()});
  EXPECT_EQ(r.out.rfind("bfType: 19778\n", 0), 0u) << "a V5 header's first 40 bytes are the 40-byte fields";
  r = test::runCli({"--extended", "info", (suite / "q/rgba32-1.bmp").string()});
  EXPECT_EQ(r.out.rfind("header: Windows V5 (124 bytes)\n", 0), 0u) << r.out;
  EXPECT_NE(r.out.find("\nbiAlphaMask: 0xff000000\nbiCSType: 0x73524742 (sRGB)\n"), std::string::npos) << r.out;
  // The masks after a 40-byte header have the names they have inside the longer headers, and
  // the compression is named as the colour space is.
  r = test::runCli({"--extended", "info", fields32});
  EXPECT_NE(r.out.find("\nbiCompression: 3 (BI_BITFIELDS)\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("\nbiRedMask: 0xff000000\nbiGreenMask: 0x00000ff0\nbiBlueMask: 0x00ff0000\n"),
            std::string::npos)
      << r.out;
  // A file that is not a BMP file is refused with or without --extended.
  const std::string readme = (suite / "README.md").string();
  for (const auto& args : {std::vector<std::string>{"info", readme}, std::vector<std::string>{"--extended", "info", readme}}) {
    r = test::runCli(args);
    EXPECT_EQ(r.exitCode, 1) << args[0];
    EXPECT_TRUE(r.out.empty()) << r.out;
    EXPECT_EQ(r.err, "bmpfun: " + readme + ": not a BMP file (it does not start with \"BM\")\n");
  }
}

// The compression's name in the header view follows the header kind and depth.
TEST(ExtendedReader, HeaderViewsNameTheCompression) {
  const struct { Recipe recipe; const char* value; } views[] = {
      {{.bits = 24}, "0 (BI_RGB)"},
      {{.infoSize = 64, .bits = 1, .compression = 3}, "3 (Huffman 1D)"},
      {{.infoSize = 64, .bits = 16, .compression = 3}, "3 (BI_BITFIELDS)"},
      {{.bits = 24, .compression = 4}, "4 (BI_JPEG)"},
      {{.infoSize = 36, .bits = 24, .compression = 4}, "4 (RLE24)"},
      {{.bits = 32, .compression = 7}, "7 (unknown)"},
  };
  for (const auto& v : views) {
    BmpHeaderView view;
    ASSERT_TRUE(describeHeaders(build(v.recipe), view)) << v.value;
    const auto field = std::find_if(view.fields.begin(), view.fields.end(),
                                    [](const BmpField& f) { return f.name == "biCompression"; });
    ASSERT_NE(field, view.fields.end()) << v.value;
    EXPECT_EQ(field->value, v.value);
  }
}

}  // namespace
}  // namespace bmpfun
