// Where and how the pixels of a file are stored: what a reader's policy (policies.hpp) makes
// of the headers, and what its table, row and RLE stages follow.
#pragma once
#include <array>
#include <cstdint>

namespace bmpfun::detail {

struct PixelLayout {
  enum class Coding : uint8_t { rows, rle8, rle4 };
  int32_t width = 0;
  int32_t height = 0;  // rows, always positive
  bool topDown = false;
  uint16_t bits = 0;  // 1, 2, 4, 8, 16, 24 or 32
  Coding coding = Coding::rows;
  // 16 and 32 bits: red, green, blue, alpha masks (alpha 0: none, the pixels are opaque).
  std::array<uint32_t, 4> masks{};
  // 1 to 8 bits: the colour table (entries this layout reads).
  uint64_t tableAt = 0;
  uint32_t entryBytes = 4;
  uint32_t tableEntries = 0;
  uint64_t dataAt = 0;  // the first byte of the pixel data
  int32_t xPixelsPerMeter = 0;
  int32_t yPixelsPerMeter = 0;
};

}  // namespace bmpfun::detail
