#include "bmp/bit_fields.hpp"

#include <bit>

namespace bmpfun::detail {

bool contiguous(uint32_t mask) {
  if (mask == 0) return true;
  const uint32_t low = mask >> std::countr_zero(mask);
  return (low & (low + 1)) == 0;
}

Cause maskCause(const std::array<uint32_t, 4>& masks) {
  for (size_t c = 0; c < 4; ++c) {
    if (!contiguous(masks[c])) return Cause::masksNotContiguous;
    for (size_t d = 0; d < c; ++d) {
      if ((masks[c] & masks[d]) != 0) return Cause::masksOverlap;
    }
  }
  return Cause::ok;
}

Channel::Channel(uint32_t mask)
    : mask_(mask),
      shift_(mask == 0 ? 0 : std::countr_zero(mask)),
      width_(std::popcount(mask)),
      gather_(!contiguous(mask)) {
  const uint64_t top = width_ == 0 ? 1 : (uint64_t{1} << width_) - 1;
  if (width_ <= 8) {
    for (uint64_t v = 0; v <= top && width_ > 0; ++v) lut_[static_cast<size_t>(v)] = static_cast<uint8_t>((510 * v + top) / (2 * top));
  }
  top_ = top;
}

uint32_t Channel::gathered(uint32_t pixel) const {
  uint32_t result = 0;
  uint32_t bit = 1;
  for (uint32_t mask = mask_; mask != 0; mask &= mask - 1, bit <<= 1) {
    if ((pixel & mask & (~mask + 1)) != 0) result |= bit;
  }
  return result;
}

}  // namespace bmpfun::detail
