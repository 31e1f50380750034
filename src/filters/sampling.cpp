// The resampler behind every warp: colour of an image at a real position. The methods live
// in samplers.hpp, where the warps use them directly in loops specialised per method; this
// is the one-position query on top of them. It allocates nothing.
#include <bmpfun/image.hpp>

#include "filters/samplers.hpp"

namespace bmpfun {

Pixel Image::sample(double x, double y) const {
  return sampling::withSampler(*this, [x, y](const auto& method) { return method(x, y); });
}

}  // namespace bmpfun
