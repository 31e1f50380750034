// Where a reader's decoded rows go, so that each caller decodes into its own storage: the
// Bitmap into its grid, the Image straight into its RGBA pixels (no second grid).
#pragma once
#include <bmpfun/bmp.hpp>

#include <cstddef>

namespace bmpfun::detail {

// row(y) gives storage for the width pixels of row y (0 at the top); the reader fills it
// whole, then calls rowDone(y) before it asks for another row. Rows come in the file's order,
// each once.
class RowSink {
 public:
  virtual ~RowSink() = default;
  virtual BitmapPixel* row(size_t y) = 0;
  virtual void rowDone(size_t y) = 0;
  // Sets the alpha of every pixel of row y, already done, to 255: the extended reader learns
  // only at the end of a file that an alpha channel which is 0 everywhere means opaque.
  virtual void makeRowOpaque(size_t y) = 0;

  // For readers that decode rows on several threads at once, when takesRowsAtOnce(): rowAt
  // gives storage for row y that no other row shares (the sink's own, or scratch, room for
  // width pixels), and rowFilled(y, pixels) takes it once filled whole. Both may be called
  // from several threads at once, for different rows, each once, in any order.
  virtual bool takesRowsAtOnce() const { return false; }
  virtual BitmapPixel* rowAt(size_t, BitmapPixel* scratch) { return scratch; }
  virtual void rowFilled(size_t, const BitmapPixel*) {}
};

}  // namespace bmpfun::detail
