// Effect-1 floor: the polar disc's unavoidable work and nothing else. For each of the
// (2h + 1)^2 output pixels one atan2 and one sqrt, the point-sampling gather from the source
// and the store, plus reading the source and writing the output. The arithmetic is the
// warp's own (truncated pi, the stored reciprocal, the same evaluation order), so the output
// pixels equal `bmpfun fun IN OUT 1`; only the visiting order is the cache-friendly one.
//   floor_effect1 IN.bmp OUT.bmp
#include "floor_io.hpp"

#include <cmath>
#include <cstdio>

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: floor_effect1 IN.bmp OUT.bmp\n");
    return 2;
  }
  int32_t w = 0, h = 0;
  floor_io::Grid source;
  if (!floor_io::readBmp24(argv[1], w, h, source)) {
    std::fprintf(stderr, "floor_effect1: %s is not a 24-bit BMP file\n", argv[1]);
    return 1;
  }
  const int32_t side = 2 * h + 1;
  floor_io::Grid out(static_cast<size_t>(side) * static_cast<size_t>(side));
  const double halfWidth = static_cast<double>(w / 2);
  const double width = static_cast<double>(w), height = static_cast<double>(h);
  constexpr floor_io::Rgba kWhite{255, 255, 255, 255};
  floor_io::Rgba* store = out.data();
  for (int32_t c = -h; c <= h; ++c) {    // output row
    const double dc = static_cast<double>(c);
    for (int32_t i = -h; i <= h; ++i) {  // output column
      const double di = static_cast<double>(i);
      const double theta = std::atan2(dc, di);
      const double radius = std::sqrt(dc * dc + di * di);
      const double x = (halfWidth * theta) * 0.3183099524062959 + halfWidth;
      *store++ = (x >= 0.0 && radius < height && x < width)
                     ? source[static_cast<size_t>(radius) * static_cast<size_t>(w) +
                              static_cast<size_t>(x)]
                     : kWhite;
    }
  }
  return floor_io::writeBmp24(argv[2], side, side, out) ? 0 : 1;
}
