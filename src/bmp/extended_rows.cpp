#include "bmp/extended_rows.hpp"

#include <bit>

namespace bmpfun::detail {

namespace {

template <size_t Bytes>
uint32_t load(const uint8_t* in) {
  if constexpr (Bytes == 2) {
    return uint32_t{in[0]} | uint32_t{in[1]} << 8;
  } else {
    return uint32_t{in[0]} | uint32_t{in[1]} << 8 | uint32_t{in[2]} << 16 | uint32_t{in[3]} << 24;
  }
}

}  // namespace

Unpacker::Unpacker(const PixelLayout& layout, const Palette& palette)
    : bits_(layout.bits), palette_(palette), hasAlpha_(layout.masks[3] != 0) {
  bool small = true;
  for (size_t c = 0; c < 4; ++c) {
    channels_[c] = Channel(layout.masks[c]);
    small = small && contiguous(layout.masks[c]) && std::popcount(layout.masks[c]) <= 8;
    masks_[c] = layout.masks[c];
    shifts_[c] = layout.masks[c] == 0 ? 0 : std::countr_zero(layout.masks[c]);
  }
  // Fields of at most 8 contiguous bits (nearly every file) take one table look-up each.
  small_ = small;
}

void Unpacker::operator()(const uint8_t* in, BitmapPixel* out, size_t count) {
  switch (bits_) {
    case 1: unpackRow1(in, out, count, palette_); break;
    case 2:
      for (size_t x = 0; x < count; ++x) out[x] = palette_[(unsigned{in[x / 4]} >> (6 - 2 * (x % 4))) & 3u];
      break;
    case 4: unpackRow4(in, out, count, palette_); break;
    case 8: unpackRow8(in, out, count, palette_); break;
    case 24:
      for (size_t x = 0; x < count; ++x, in += 3) out[x] = BitmapPixel{in[0], in[1], in[2], 255};
      break;
    case 16:
      if (small_) smallFields<2>(in, out, count);
      else anyFields<2>(in, out, count);
      break;
    default:
      if (small_) smallFields<4>(in, out, count);
      else anyFields<4>(in, out, count);
      break;
  }
}

template <size_t Bytes>
void Unpacker::smallFields(const uint8_t* in, BitmapPixel* out, size_t count) {
  // A zero alpha mask gives a field of 0, which the table of a zero-width channel maps to 0:
  // the alpha byte is then made 255 afterwards in one pass.
  uint32_t seen = 0;
  const uint8_t* r = channels_[0].table();
  const uint8_t* g = channels_[1].table();
  const uint8_t* b = channels_[2].table();
  const uint8_t* a = channels_[3].table();
  for (size_t x = 0; x < count; ++x, in += Bytes) {
    const uint32_t v = load<Bytes>(in);
    seen |= v & masks_[3];
    out[x] = BitmapPixel{b[(v & masks_[2]) >> shifts_[2]], g[(v & masks_[1]) >> shifts_[1]],
                         r[(v & masks_[0]) >> shifts_[0]], a[(v & masks_[3]) >> shifts_[3]]};
  }
  alphaSeen_ = alphaSeen_ || seen != 0;
  if (!hasAlpha_) {
    for (size_t x = 0; x < count; ++x) out[x].alpha = 255;
  }
}

template <size_t Bytes>
void Unpacker::anyFields(const uint8_t* in, BitmapPixel* out, size_t count) {
  for (size_t x = 0; x < count; ++x, in += Bytes) {
    const uint32_t v = load<Bytes>(in);
    uint8_t alpha = 255;
    if (hasAlpha_) {
      const uint32_t a = channels_[3].field(v);
      alphaSeen_ = alphaSeen_ || a != 0;
      alpha = channels_[3].scale(a);
    }
    out[x] = BitmapPixel{channels_[2](v), channels_[1](v), channels_[0](v), alpha};
  }
}

}  // namespace bmpfun::detail
