// Resource limits handed to the codec and the image factories.
#pragma once
#include <cstdint>

namespace bmpfun {

// The largest pixel grid the library will allocate. A value, not a global: the reader,
// Bitmap::resize, rescale and every operation that creates an Image take one.
struct Limits {
  static constexpr int64_t kDefaultMaxPixels = int64_t{1} << 28;
  int64_t maxPixels = kDefaultMaxPixels;

  // True when a width x height grid may be allocated: both at least 1 and the product
  // within maxPixels (computed in 64 bits, so no overflow for any int32 pair).
  constexpr bool allows(int32_t width, int32_t height) const {
    return width >= 1 && height >= 1 &&
           int64_t{width} * int64_t{height} <= maxPixels;
  }
};

}  // namespace bmpfun
