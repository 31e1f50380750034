#include "bmp/row_codec.hpp"

#include <algorithm>
#include <bit>
#include <cstring>

namespace bmpfun::detail {

namespace {

// The word-at-a-time loops rely on a BitmapPixel reading as blue | green << 8 | red << 16 |
// alpha << 24; on other hosts only the byte loops run.
constexpr bool kWordLoops = std::endian::native == std::endian::little && sizeof(BitmapPixel) == 4;

uint32_t load32(const void* p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}

void store32(void* p, uint32_t v) { std::memcpy(p, &v, 4); }

}  // namespace

void defaultColorTable(int32_t bits, BitmapPixel* t) {
  const auto rgb = [](int r, int g, int b) {
    return BitmapPixel{static_cast<uint8_t>(b), static_cast<uint8_t>(g), static_cast<uint8_t>(r), 0};
  };
  if (bits == 1) {
    t[0] = rgb(0, 0, 0);
    t[1] = rgb(255, 255, 255);
    return;
  }
  // The 16-colour set: i = 4b + 2g + r, half intensity below 8 and full from 8 on, with
  // entry 8 (which would repeat black) turned into light grey.
  BitmapPixel sixteen[16];
  for (int i = 0; i < 16; ++i) {
    const int level = i < 8 ? 128 : 255;
    const int bits3 = i & 7;
    sixteen[i] = rgb((bits3 & 1) * level, ((bits3 >> 1) & 1) * level, ((bits3 >> 2) & 1) * level);
  }
  sixteen[8] = rgb(192, 192, 192);
  if (bits == 4) {
    for (int i = 0; i < 16; ++i) t[i] = sixteen[i];
    return;
  }
  // 8 bits: a 3-3-2 colour cube, the eight dark colours in front, and the twenty system
  // colours at both ends.
  for (int i = 0; i < 256; ++i) t[i] = rgb(32 * (i % 8), 32 * ((i / 8) % 8), 64 * (i / 64));
  for (int i = 0; i < 8; ++i) t[i] = sixteen[i];
  t[7] = rgb(192, 192, 192);
  t[8] = rgb(192, 220, 192);
  t[9] = rgb(166, 202, 240);
  t[246] = rgb(255, 251, 240);
  t[247] = rgb(160, 160, 164);
  t[248] = rgb(128, 128, 128);
  t[249] = rgb(255, 0, 0);
  t[250] = rgb(0, 255, 0);
  t[251] = rgb(255, 255, 0);
  t[252] = rgb(0, 0, 255);
  t[253] = rgb(255, 0, 255);
  t[254] = rgb(0, 255, 255);
  t[255] = rgb(255, 255, 255);
}

void unpackRow1(const uint8_t* in, BitmapPixel* out, size_t width, const Palette& palette) {
  size_t x = 0;
  for (; x + 8 <= width; x += 8) {
    const unsigned byte = in[x / 8];
    for (unsigned j = 0; j < 8; ++j) out[x + j] = palette[(byte >> (7 - j)) & 1u];
  }
  for (; x < width; ++x) out[x] = palette[(unsigned{in[x / 8]} >> (7 - x % 8)) & 1u];
}

void unpackRow4(const uint8_t* in, BitmapPixel* out, size_t width, const Palette& palette) {
  size_t x = 0;
  for (; x + 2 <= width; x += 2) {
    const unsigned byte = in[x / 2];
    out[x] = palette[byte >> 4];
    out[x + 1] = palette[byte & 15u];
  }
  if (x < width) out[x] = palette[in[x / 2] >> 4];
}

void unpackRow8(const uint8_t* in, BitmapPixel* out, size_t width, const Palette& palette) {
  for (size_t x = 0; x < width; ++x) out[x] = palette[in[x]];
}

void unpackRow24(const uint8_t* in, BitmapPixel* out, size_t width, bool keepAlpha) {
  size_t x = 0;
  if constexpr (kWordLoops) {
    // Four pixels are twelve file bytes, three words: b g r b | g r b g | r b g r.
    for (; x + 4 <= width; x += 4, in += 12) {
      const uint32_t w0 = load32(in), w1 = load32(in + 4), w2 = load32(in + 8);
      uint32_t p[4] = {w0 & 0xFFFFFFu, (w0 >> 24) | ((w1 & 0xFFFFu) << 8),
                       (w1 >> 16) | ((w2 & 0xFFu) << 16), w2 >> 8};
      if (keepAlpha) {
        for (int k = 0; k < 4; ++k) p[k] |= load32(out + x + static_cast<size_t>(k)) & 0xFF000000u;
      }
      std::memcpy(out + x, p, sizeof p);
    }
  }
  for (; x < width; ++x, in += 3) {
    out[x].blue = in[0];
    out[x].green = in[1];
    out[x].red = in[2];
    if (!keepAlpha) out[x].alpha = 0;
  }
}

void unpackRow32(const uint8_t* in, BitmapPixel* out, size_t width) {
  if constexpr (kWordLoops) {
    std::memcpy(out, in, 4 * width);  // the file's byte order is the pixel's
  } else {
    for (size_t x = 0; x < width; ++x, in += 4) out[x] = BitmapPixel{in[0], in[1], in[2], in[3]};
  }
}

void Masks16::computeShifts() {
  const auto shiftOf = [](uint16_t mask) {
    int shift = 0;
    while (mask > 31) {
      mask = static_cast<uint16_t>(mask >> 1);
      ++shift;
    }
    return shift;
  };
  redShift = shiftOf(red);
  greenShift = shiftOf(green);
  blueShift = shiftOf(blue);
}

void unpackRow16(const uint8_t* in, BitmapPixel* out, size_t width, const Masks16& m) {
  for (size_t x = 0; x < width; ++x, in += 2) {
    const unsigned v = unsigned{in[0]} | (unsigned{in[1]} << 8);
    out[x] = BitmapPixel{static_cast<uint8_t>(((v & m.blue) >> m.blueShift) * 8),
                         static_cast<uint8_t>(((v & m.green) >> m.greenShift) * 8),
                         static_cast<uint8_t>(((v & m.red) >> m.redShift) * 8), 0};
  }
}

namespace {

// Table indices for a row, a block at a time, into a small buffer: f(x, index) for every x.
template <typename F>
void eachIndex(const BitmapPixel* in, size_t width, NearestIndexCache& nearest, F&& f) {
  constexpr size_t kBlock = 256;
  uint8_t index[kBlock];
  for (size_t start = 0; start < width; start += kBlock) {
    const size_t count = std::min(kBlock, width - start);
    nearest.indices(in + start, index, count);
    for (size_t j = 0; j < count; ++j) f(start + j, index[j]);
  }
}

}  // namespace

void packRow1(const BitmapPixel* in, uint8_t* out, size_t width, NearestIndexCache& nearest) {
  // Byte k is the sum of index(8k + j) * 2^(7 - j), kept modulo 256.
  std::fill(out, out + (width + 7) / 8, uint8_t{0});
  eachIndex(in, width, nearest, [out](size_t x, uint8_t index) {
    out[x / 8] = static_cast<uint8_t>(out[x / 8] + (unsigned{index} << (7 - x % 8)));
  });
}

void packRow4(const BitmapPixel* in, uint8_t* out, size_t width, NearestIndexCache& nearest) {
  // Byte k is 16 * index(2k) + index(2k + 1), kept modulo 256.
  std::fill(out, out + (width + 1) / 2, uint8_t{0});
  eachIndex(in, width, nearest, [out](size_t x, uint8_t index) {
    out[x / 2] = static_cast<uint8_t>(out[x / 2] + (x % 2 == 0 ? 16u * index : unsigned{index}));
  });
}

void packRow8(const BitmapPixel* in, uint8_t* out, size_t width, NearestIndexCache& nearest) {
  nearest.indices(in, out, width);
}

void packRow16(const BitmapPixel* in, uint8_t* out, size_t width) {
  for (size_t x = 0; x < width; ++x, out += 2) {
    const unsigned v = (in[x].red / 8u) * 2048u + (in[x].green / 4u) * 32u + in[x].blue / 8u;
    out[0] = static_cast<uint8_t>(v);
    out[1] = static_cast<uint8_t>(v >> 8);
  }
}

void packRow24(const BitmapPixel* in, uint8_t* out, size_t width) {
  size_t x = 0;
  if constexpr (kWordLoops) {
    for (; x + 4 <= width; x += 4, out += 12) {
      const uint32_t p0 = load32(in + x), p1 = load32(in + x + 1), p2 = load32(in + x + 2),
                     p3 = load32(in + x + 3);
      store32(out, (p0 & 0xFFFFFFu) | (p1 << 24));
      store32(out + 4, ((p1 >> 8) & 0xFFFFu) | (p2 << 16));
      store32(out + 8, ((p2 >> 16) & 0xFFu) | (p3 << 8));
    }
  }
  for (; x < width; ++x, out += 3) {
    out[0] = in[x].blue;
    out[1] = in[x].green;
    out[2] = in[x].red;
  }
}

void packRow32(const BitmapPixel* in, uint8_t* out, size_t width) {
  if constexpr (kWordLoops) {
    std::memcpy(out, in, 4 * width);
  } else {
    for (size_t x = 0; x < width; ++x, out += 4) {
      out[0] = in[x].blue;
      out[1] = in[x].green;
      out[2] = in[x].red;
      out[3] = in[x].alpha;
    }
  }
}

}  // namespace bmpfun::detail
