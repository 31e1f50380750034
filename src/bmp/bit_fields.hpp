// Bit-field pixels: the channels of 16- and 32-bit files that store their colours (and alpha)
// under masks, each scaled to 8 bits by rounding.
#pragma once
#include <bmpfun/bmp.hpp>

#include <array>
#include <cstddef>
#include <cstdint>

namespace bmpfun::detail {

// Whether the set bits of mask are one run (0 counts as one).
bool contiguous(uint32_t mask);
// Why red, green, blue and alpha masks cannot be read: masksNotContiguous for a mask with a
// gap, masksOverlap for two masks that share a bit (checked in that order, mask by mask);
// ok otherwise.
Cause maskCause(const std::array<uint32_t, 4>& masks);

// One channel of a bit-field pixel: a field of n bits becomes round(v * 255 / (2^n - 1)), for
// every n; a zero mask gives 0. A mask with a gap is read bit by bit, lowest first.
class Channel {
 public:
  Channel() = default;
  explicit Channel(uint32_t mask);
  uint32_t field(uint32_t pixel) const { return gather_ ? gathered(pixel) : (pixel & mask_) >> shift_; }
  uint8_t scale(uint32_t v) const {
    if (width_ <= 8) return lut_[v];
    return static_cast<uint8_t>((510 * uint64_t{v} + top_) / (2 * top_));
  }
  uint8_t operator()(uint32_t pixel) const { return scale(field(pixel)); }
  // The 8-bit values of every field, for fields of at most 8 bits.
  const uint8_t* table() const { return lut_.data(); }

 private:
  // The mask's bits of pixel, packed together lowest first.
  uint32_t gathered(uint32_t pixel) const;

  uint32_t mask_ = 0;
  int shift_ = 0;
  int width_ = 0;
  bool gather_ = false;
  uint64_t top_ = 1;
  std::array<uint8_t, 256> lut_{};
};

}  // namespace bmpfun::detail
