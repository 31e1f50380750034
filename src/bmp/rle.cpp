#include "bmp/rle.hpp"

#include "bmp/extended_rows.hpp"

#include <algorithm>
#include <array>
#include <memory>

namespace bmpfun::detail {

namespace {

// The RLE data, read through a window; every byte is consumed once.
class ByteWindow {
 public:
  explicit ByteWindow(HeadedInput& input) : input_(input) {}
  bool next(uint8_t& byte) {
    if (at_ == size_) {
      if (ended_) return false;
      size_ = input_.read(window_.data(), window_.size());
      at_ = 0;
      ended_ = size_ < window_.size();
      if (size_ == 0) return false;
    }
    byte = window_[at_++];
    return true;
  }

 private:
  HeadedInput& input_;
  std::array<uint8_t, size_t{1} << 16> window_{};
  size_t size_ = 0;
  size_t at_ = 0;
  bool ended_ = false;
};

}  // namespace

void decodeRle(HeadedInput& input, const PixelLayout& l, const Palette& palette, RowSink& sink, Status& status) {
  const bool rle4 = l.coding == PixelLayout::Coding::rle4;
  const size_t width = static_cast<size_t>(l.width);
  const size_t height = static_cast<size_t>(l.height);
  RowCursor rows(sink, l);
  auto window = std::make_unique<ByteWindow>(input);
  bool dataEnded = !input.seek(l.dataAt);
  bool finished = false;  // end of bitmap, or past the last row
  BitmapPixel* row = dataEnded ? nullptr : rows.open();
  size_t x = 0;
  // x never passes the width: what lies beyond the row end is dropped.
  const auto draw = [&](uint8_t index) {
    if (x < width) row[x++] = palette[index];
  };
  while (!dataEnded && !finished) {
    uint8_t count = 0, value = 0;
    if (!window->next(count) || !window->next(value)) {
      dataEnded = true;
      break;
    }
    if (count > 0) {
      // An encoded run; pixels past the row end are dropped.
      const size_t n = std::min<size_t>(count, width - x);
      for (size_t k = 0; k < n; ++k) draw(rle4 ? static_cast<uint8_t>(k % 2 == 0 ? value >> 4 : value & 15) : value);
      continue;
    }
    if (value == 0) {  // end of line
      rows.close();
      x = 0;
      if (rows.next() >= height) finished = true;
      else row = rows.open();
    } else if (value == 1) {  // end of bitmap
      rows.close();
      finished = true;
    } else if (value == 2) {  // delta: right dx, on dy rows
      uint8_t dx = 0, dy = 0;
      if (!window->next(dx) || !window->next(dy)) {
        dataEnded = true;
        break;
      }
      x = std::min(width, x + dx);
      if (dy > 0) {
        const size_t target = rows.next() + dy;
        rows.close();
        rows.skipTo(target);
        if (target >= height) finished = true;
        else row = rows.open();
      }
    } else {  // absolute run of `value` indices, padded to 16 bits
      const size_t n = value;
      const size_t bytes = rle4 ? (n + 1) / 2 : n;
      for (size_t k = 0; k < bytes + bytes % 2; ++k) {
        uint8_t b = 0;
        if (!window->next(b)) {
          dataEnded = true;
          break;
        }
        if (k >= bytes) continue;
        if (rle4) {
          draw(static_cast<uint8_t>(b >> 4));
          if (2 * k + 1 < n) draw(static_cast<uint8_t>(b & 15));
        } else {
          draw(b);
        }
      }
    }
  }
  if (dataEnded) {
    status.rowsRead = static_cast<int32_t>(rows.next());
    if (row != nullptr) rows.close();
  } else {
    status.rowsRead = static_cast<int32_t>(height);
  }
  rows.skipTo(height);
}

}  // namespace bmpfun::detail
