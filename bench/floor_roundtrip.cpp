// Round-trip floor: read a 24-bit BMP file from the page cache, unpack it to RGBA, pack it
// back and write it. No checks beyond what the work needs; this is the time a round trip
// cannot beat on this machine.
//   floor_roundtrip IN.bmp OUT.bmp
#include "floor_io.hpp"

#include <cstdio>

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: floor_roundtrip IN.bmp OUT.bmp\n");
    return 2;
  }
  int32_t width = 0, height = 0;
  floor_io::Grid grid;
  if (!floor_io::readBmp24(argv[1], width, height, grid)) {
    std::fprintf(stderr, "floor_roundtrip: %s is not a 24-bit BMP file\n", argv[1]);
    return 1;
  }
  return floor_io::writeBmp24(argv[2], width, height, grid) ? 0 : 1;
}
