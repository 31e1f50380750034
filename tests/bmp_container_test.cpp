// The Bitmap container, default colour tables, resolution conversions and the byte helpers.
#include <bmpfun/bmp.hpp>

#include "support/test_support.hpp"

#include <gtest/gtest.h>

namespace bmpfun {
namespace {

constexpr BitmapPixel kBlank{255, 255, 255, 0};

BitmapPixel bgr(int r, int g, int b) {
  return BitmapPixel{static_cast<uint8_t>(b), static_cast<uint8_t>(g), static_cast<uint8_t>(r), 0};
}

TEST(BitmapContainer, NewBitmap) {
  Bitmap b;
  EXPECT_EQ(b.bitsPerPixel(), 24);
  EXPECT_EQ(b.width(), 1);
  EXPECT_EQ(b.height(), 1);
  EXPECT_EQ(b.colorCount(), 16777216);
  EXPECT_TRUE(b.colorTable().empty());
  EXPECT_EQ(b.xPixelsPerMeter(), 0);
  EXPECT_EQ(b.horizontalDpi(), 96);
  EXPECT_EQ(b.xPixelsPerMeter(), 3780);
  EXPECT_EQ(b.yPixelsPerMeter(), 0);  // the vertical getter was not called
  EXPECT_EQ(b.verticalDpi(), 96);
  EXPECT_EQ(b.yPixelsPerMeter(), 3780);
}

TEST(BitmapContainer, ResizeRefusesAndPaints) {
  Bitmap b;
  ASSERT_TRUE(b.resize(4, 3));
  b.pixelRef(2, 1) = BitmapPixel{1, 2, 3, 4};
  struct { int32_t w, h; } refused[] = {{0, 5}, {5, -1}, {-3, -3}, {INT32_MIN, 1}};
  for (const auto& r : refused) {
    EXPECT_FALSE(b.resize(r.w, r.h)) << r.w << "x" << r.h;
    EXPECT_EQ(b.width(), 4);
    EXPECT_EQ(b.height(), 3);
    EXPECT_EQ(b.pixel(2, 1), (BitmapPixel{1, 2, 3, 4}));
  }
  Limits small;
  small.maxPixels = 11;
  EXPECT_FALSE(b.resize(4, 3, small));  // 12 pixels
  EXPECT_TRUE(b.resize(11, 1, small));
  EXPECT_FALSE(b.resize(INT32_MAX, INT32_MAX));  // past the default limit
  ASSERT_TRUE(b.resize(3, 2));
  for (int32_t y = 0; y < 2; ++y)
    for (int32_t x = 0; x < 3; ++x) EXPECT_EQ(b.pixel(x, y), kBlank);
  // Even the same size repaints.
  b.pixelRef(0, 0) = BitmapPixel{9, 9, 9, 9};
  ASSERT_TRUE(b.resize(3, 2));
  EXPECT_EQ(b.pixel(0, 0), kBlank);
}

TEST(BitmapContainer, ChangeBitsPerPixel) {
  const struct { int32_t bits; bool ok; int32_t count; size_t table; } cases[] = {
      {1, true, 2, 2},           {4, true, 16, 16},  {8, true, 256, 256}, {16, true, 65536, 0},
      {24, true, 16777216, 0},   {32, true, 16777216, 0}, {2, false, 0, 0}, {0, false, 0, 0},
      {-8, false, 0, 0},         {64, false, 0, 0},
  };
  for (const auto& c : cases) {
    Bitmap b;
    b.resize(2, 2);
    b.pixelRef(1, 1) = BitmapPixel{7, 8, 9, 10};
    EXPECT_EQ(b.changeBitsPerPixel(c.bits), c.ok) << c.bits;
    if (c.ok) {
      EXPECT_EQ(b.bitsPerPixel(), c.bits);
      EXPECT_EQ(b.colorCount(), c.count);
      EXPECT_EQ(b.colorTable().size(), c.table);
    } else {
      EXPECT_EQ(b.bitsPerPixel(), 24);
    }
    EXPECT_EQ(b.pixel(1, 1), (BitmapPixel{7, 8, 9, 10})) << "pixels are never touched";
  }
  Bitmap b;
  b.changeBitsPerPixel(8);
  b.changeBitsPerPixel(16);
  EXPECT_TRUE(b.colorTable().empty());
  EXPECT_FALSE(b.setTableColor(0, kBlank));
}

TEST(BitmapContainer, DefaultTables) {
  Bitmap b;
  b.changeBitsPerPixel(1);
  EXPECT_EQ(b.tableColor(0), bgr(0, 0, 0));
  EXPECT_EQ(b.tableColor(1), bgr(255, 255, 255));

  const BitmapPixel four[16] = {
      bgr(0, 0, 0),       bgr(128, 0, 0),   bgr(0, 128, 0),   bgr(128, 128, 0),
      bgr(0, 0, 128),     bgr(128, 0, 128), bgr(0, 128, 128), bgr(128, 128, 128),
      bgr(192, 192, 192), bgr(255, 0, 0),   bgr(0, 255, 0),   bgr(255, 255, 0),
      bgr(0, 0, 255),     bgr(255, 0, 255), bgr(0, 255, 255), bgr(255, 255, 255)};
  b.changeBitsPerPixel(4);
  for (int i = 0; i < 16; ++i) EXPECT_EQ(b.tableColor(i), four[i]) << i;

  b.changeBitsPerPixel(8);
  const struct { int index; BitmapPixel colour; } eight[] = {
      {0, bgr(0, 0, 0)},          {1, bgr(128, 0, 0)},       {6, bgr(0, 128, 128)},
      {7, bgr(192, 192, 192)},    {8, bgr(192, 220, 192)},   {9, bgr(166, 202, 240)},
      {10, bgr(64, 32, 0)},       {63, bgr(224, 224, 0)},    {64, bgr(0, 0, 64)},
      {100, bgr(128, 128, 64)},   {200, bgr(0, 32, 192)},    {245, bgr(160, 192, 192)},
      {246, bgr(255, 251, 240)},  {247, bgr(160, 160, 164)}, {248, bgr(128, 128, 128)},
      {249, bgr(255, 0, 0)},      {250, bgr(0, 255, 0)},     {251, bgr(255, 255, 0)},
      {252, bgr(0, 0, 255)},      {253, bgr(255, 0, 255)},   {254, bgr(0, 255, 255)},
      {255, bgr(255, 255, 255)},
  };
  for (const auto& e : eight) EXPECT_EQ(b.tableColor(e.index), e.colour) << e.index;
  for (int i = 0; i < 256; ++i) EXPECT_EQ(b.tableColor(i).alpha, 0) << i;
}

TEST(BitmapContainer, TableAccessOutsideTheTable) {
  Bitmap b;
  EXPECT_EQ(b.tableColor(0), kBlank);
  EXPECT_FALSE(b.fillDefaultColorTable());
  EXPECT_FALSE(b.fillGreyRamp());
  b.changeBitsPerPixel(4);
  EXPECT_EQ(b.tableColor(16), kBlank);
  EXPECT_EQ(b.tableColor(-1), kBlank);
  EXPECT_FALSE(b.setTableColor(16, bgr(1, 2, 3)));
  EXPECT_FALSE(b.setTableColor(-1, bgr(1, 2, 3)));
  EXPECT_TRUE(b.setTableColor(15, BitmapPixel{1, 2, 3, 4}));
  EXPECT_EQ(b.tableColor(15), (BitmapPixel{1, 2, 3, 4}));
  EXPECT_TRUE(b.fillDefaultColorTable());
  EXPECT_EQ(b.tableColor(15), bgr(255, 255, 255));
}

TEST(BitmapContainer, GreyRamp) {
  const struct { int32_t bits; int step; } cases[] = {{1, 255}, {4, 17}, {8, 1}};
  for (const auto& c : cases) {
    Bitmap b;
    b.changeBitsPerPixel(c.bits);
    ASSERT_TRUE(b.fillGreyRamp());
    for (int i = 0; i < b.colorCount(); ++i) {
      const auto v = static_cast<uint8_t>(i * c.step);
      EXPECT_EQ(b.tableColor(i), (BitmapPixel{v, v, v, 0})) << c.bits << " bits, entry " << i;
    }
  }
}

TEST(BitmapContainer, ClampedAccess) {
  Bitmap b;
  ASSERT_TRUE(b.resize(10, 10));
  for (int32_t y = 0; y < 10; ++y)
    for (int32_t x = 0; x < 10; ++x)
      b.putPixel(x, y, BitmapPixel{static_cast<uint8_t>(x), static_cast<uint8_t>(y), 0, 1});
  const struct { int32_t x, y, wantX, wantY; } cases[] = {
      {-3, 99, 0, 9}, {10, 10, 9, 9}, {INT32_MIN, INT32_MAX, 0, 9}, {5, -1, 5, 0}, {4, 6, 4, 6}};
  for (const auto& c : cases) {
    const BitmapPixel want{static_cast<uint8_t>(c.wantX), static_cast<uint8_t>(c.wantY), 0, 1};
    EXPECT_EQ(b.pixel(c.x, c.y), want) << c.x << "," << c.y;
    EXPECT_EQ(&b.pixelRef(c.x, c.y), b.data() + c.wantX + c.wantY * 10);
  }
  // putPixel does not clamp; outside the grid it refuses instead of writing elsewhere.
  EXPECT_FALSE(b.putPixel(10, 0, kBlank));
  EXPECT_FALSE(b.putPixel(0, -1, kBlank));
  EXPECT_EQ(b.pixel(9, 0), (BitmapPixel{9, 0, 0, 1}));
  EXPECT_EQ(b.pixel(0, 0), (BitmapPixel{0, 0, 0, 1}));
}

TEST(BitmapContainer, Resolution) {
  const struct { int32_t dpi; int32_t stored; int32_t readBack; } cases[] = {
      {72, 2834, 71}, {96, 3779, 95}, {300, 11811, 299}, {0, 0, 96}, {-1, -39, 0},
      {INT32_MAX, INT32_MAX, 54546084}};
  for (const auto& c : cases) {
    Bitmap b;
    b.setResolutionDpi(c.dpi, c.dpi);
    EXPECT_EQ(b.xPixelsPerMeter(), c.stored) << c.dpi;
    EXPECT_EQ(b.yPixelsPerMeter(), c.stored) << c.dpi;
    EXPECT_EQ(b.horizontalDpi(), c.readBack) << c.dpi;
    EXPECT_EQ(b.verticalDpi(), c.readBack) << c.dpi;
  }
}

TEST(BitmapContainer, DeepCopy) {
  Bitmap source;
  ASSERT_TRUE(source.changeBitsPerPixel(4));
  ASSERT_TRUE(source.resize(3, 2));
  source.setTableColor(3, BitmapPixel{1, 2, 3, 4});
  source.setPixelsPerMeter(3780, 2835);
  for (int32_t y = 0; y < 2; ++y)
    for (int32_t x = 0; x < 3; ++x)
      source.putPixel(x, y, BitmapPixel{static_cast<uint8_t>(x), static_cast<uint8_t>(y), 7,
                                        static_cast<uint8_t>(10 * x + y)});
  Bitmap copy(source);
  EXPECT_EQ(copy.bitsPerPixel(), 4);
  EXPECT_EQ(copy.width(), 3);
  EXPECT_EQ(copy.height(), 2);
  EXPECT_EQ(copy.xPixelsPerMeter(), 3779);  // through 96 dpi
  EXPECT_EQ(copy.yPixelsPerMeter(), 2834);  // 2835 -> 72 dpi -> 2834
  EXPECT_EQ(copy.colorTable(), source.colorTable());
  for (int32_t y = 0; y < 2; ++y)
    for (int32_t x = 0; x < 3; ++x) EXPECT_EQ(copy.pixel(x, y), source.pixel(x, y));
  // Deep: changing the copy leaves the source alone.
  copy.pixelRef(0, 0) = kBlank;
  copy.setTableColor(3, kBlank);
  EXPECT_EQ(source.pixel(0, 0), (BitmapPixel{0, 0, 7, 0}));
  EXPECT_EQ(source.tableColor(3), (BitmapPixel{1, 2, 3, 4}));

  Bitmap unset;
  Bitmap fromUnset(unset);
  EXPECT_EQ(fromUnset.xPixelsPerMeter(), 3779);
  EXPECT_EQ(fromUnset.yPixelsPerMeter(), 3779);
}

TEST(BitmapHelpers, IntegerPower) {
  const struct { int32_t base, exponent, want; } cases[] = {
      {2, 0, 1}, {2, -1, 1}, {2, 8, 256}, {2, 24, 16777216}, {3, 3, 27}, {-2, 3, -8},
      {2, 31, INT32_MIN}, {2, 32, 0}, {10, 10, 1410065408}, {0, 0, 1}};
  for (const auto& c : cases) EXPECT_EQ(integerPower(c.base, c.exponent), c.want) << c.base << "^" << c.exponent;
}

TEST(BitmapHelpers, ByteReversal) {
  EXPECT_EQ(reverseBytes32(0x11223344u), 0x44332211u);
  EXPECT_EQ(reverseBytes32(0x000000FFu), 0xFF000000u);
  BitmapFileHeader f;
  f.bfSize = 0x01020304u;
  f.bfOffBits = 0x0A0B0C0Du;
  f.bfReserved1 = 0x1234;
  f.reverseByteOrder();
  EXPECT_EQ(f.bfType, 0x424D);
  EXPECT_EQ(f.bfSize, 0x04030201u);
  EXPECT_EQ(f.bfReserved1, 0x3412);
  EXPECT_EQ(f.bfOffBits, 0x0D0C0B0Au);
  BitmapInfoHeader i;
  i.biWidth = 1;
  i.biBitCount = 24;
  i.biXPelsPerMeter = 3780;
  i.reverseByteOrder();
  EXPECT_EQ(i.biWidth, 0x01000000);
  EXPECT_EQ(i.biBitCount, 0x1800);
  EXPECT_EQ(i.biPlanes, 0x0100);
  EXPECT_EQ(static_cast<uint32_t>(i.biXPelsPerMeter), 0xC40E0000u);
  i.reverseByteOrder();
  EXPECT_EQ(i.biXPelsPerMeter, 3780);
}

TEST(BitmapHelpers, CodecMessagesFlag) {
  EXPECT_TRUE(codecMessagesEnabled());
  disableCodecMessages();
  EXPECT_FALSE(codecMessagesEnabled());
  enableCodecMessages();
  EXPECT_TRUE(codecMessagesEnabled());
}

}  // namespace
}  // namespace bmpfun
