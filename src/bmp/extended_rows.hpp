// The extended reader's rows: file bytes to straight RGBA pixels for every depth it takes, and
// the cursor that hands out the rows of the picture in file order (RLE skips rows with it).
#pragma once
#include <bmpfun/bmp.hpp>

#include "bmp/bit_fields.hpp"
#include "bmp/pixel_layout.hpp"
#include "bmp/row_codec.hpp"
#include "bmp/row_sink.hpp"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>

namespace bmpfun::detail {

// A pixel the file does not draw.
constexpr BitmapPixel kUndrawn{0, 0, 0, 0};

// File bytes -> pixels of one layout (rows; RLE draws through the palette itself). Alpha is
// 255 where the layout has no alpha mask.
class Unpacker {
 public:
  Unpacker(const PixelLayout& layout, const Palette& palette);
  // count pixels from in (which starts on a pixel boundary at a byte) into out.
  void operator()(const uint8_t* in, BitmapPixel* out, size_t count);
  // Whether some alpha field of the pixels so far was not 0.
  bool alphaSeen() const { return alphaSeen_; }
  bool hasAlpha() const { return hasAlpha_; }

 private:
  template <size_t Bytes>
  void smallFields(const uint8_t* in, BitmapPixel* out, size_t count);
  template <size_t Bytes>
  void anyFields(const uint8_t* in, BitmapPixel* out, size_t count);

  uint16_t bits_;
  const Palette& palette_;
  bool hasAlpha_;
  bool small_ = false;
  bool alphaSeen_ = false;
  std::array<Channel, 4> channels_;
  std::array<uint32_t, 4> masks_{};
  std::array<int, 4> shifts_{};
};

// The rows of the picture in file order; each is handed out painted undrawn and returned to
// the sink once, so skipped rows cost one fill.
class RowCursor {
 public:
  RowCursor(RowSink& sink, const PixelLayout& layout)
      : sink_(sink), width_(static_cast<size_t>(layout.width)), height_(static_cast<size_t>(layout.height)),
        topDown_(layout.topDown) {}
  size_t y(size_t fileRow) const { return topDown_ ? fileRow : height_ - 1 - fileRow; }
  size_t next() const { return next_; }
  // The next row for drawing, painted undrawn unless the caller writes all of it itself.
  BitmapPixel* open(bool paint = true) {
    BitmapPixel* row = sink_.row(y(next_));
    if (paint) std::fill(row, row + width_, kUndrawn);
    return row;
  }
  // Hands the open row back.
  void close() { sink_.rowDone(y(next_++)); }
  // Every row from the next one on up to (not including) fileRow, undrawn.
  void skipTo(size_t fileRow) {
    while (next_ < std::min(fileRow, height_)) {
      open();
      close();
    }
  }

 private:
  RowSink& sink_;
  size_t width_;
  size_t height_;
  bool topDown_;
  size_t next_ = 0;
};

}  // namespace bmpfun::detail
