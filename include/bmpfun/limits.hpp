// What a call may use and how it reads: the options value handed to the codec and to the
// image factories (an image keeps the one it was made with and passes it on to the images
// its operations make).
#pragma once
#include <cstdint>

namespace bmpfun {

// A value, not a global: the reader, Bitmap::resize, rescale and every operation that
// creates an Image take one.
struct Limits {
  static constexpr int64_t kDefaultMaxPixels = int64_t{1} << 28;
  // The largest pixel grid the library will allocate.
  int64_t maxPixels = kDefaultMaxPixels;
  // Worker threads an operation may use: 1 runs on the caller's thread alone, 0 means one per
  // core. Results never depend on it.
  int32_t threads = 1;
  // Read with the extended reader (RLE, top-down, bit fields with alpha, OS/2 headers, 2-bit
  // files) instead of the default reader's rules.
  bool extended = false;

  // True when a width x height grid may be allocated: both at least 1 and the product
  // within maxPixels (computed in 64 bits, so no overflow for any int32 pair).
  constexpr bool allows(int32_t width, int32_t height) const {
    return width >= 1 && height >= 1 &&
           int64_t{width} * int64_t{height} <= maxPixels;
  }
};

// The threads an operation under these limits may use: 1 for threads 1 (or below 0), one per
// processor this process may run on for 0, else the smaller of threads and 256.
int32_t threadCount(const Limits& limits);

}  // namespace bmpfun
