// Bitmap::loadFile and loadMemory: the reader Limits::extended chooses, through its stages,
// into the bitmap's grid, and the state a failure leaves the bitmap in (see reader.cpp).
#include <bmpfun/bmp.hpp>

#include "base/byte_source.hpp"
#include "bmp/extended_reader.hpp"
#include "bmp/reader.hpp"
#include "bmp/row_sink.hpp"

namespace bmpfun {

namespace {

// Rows straight into the bitmap's grid.
class GridSink final : public detail::RowSink {
 public:
  GridSink(BitmapPixel* grid, size_t width) : grid_(grid), width_(width) {}
  BitmapPixel* row(size_t y) override { return grid_ + y * width_; }
  void rowDone(size_t) override {}
  void makeRowOpaque(size_t y) override {
    for (BitmapPixel* p = row(y); p != row(y) + width_; ++p) p->alpha = 255;
  }
  // Rows of the grid are apart: several threads may fill them at once.
  bool takesRowsAtOnce() const override { return true; }
  BitmapPixel* rowAt(size_t y, BitmapPixel*) override { return row(y); }

 private:
  BitmapPixel* grid_;
  size_t width_;
};

}  // namespace

template <typename Reader>
bool Bitmap::loadWith(Reader& reader, const Limits& limits, Status& status) {
  const auto reject = [this] {
    resize(1, 1);
    changeBitsPerPixel(1);
    return false;
  };
  if (!reader.readHeaders(status)) {
    // Not a BMP file: the bitmap is left as it was.
    return status.cause == Cause::notBmp ? false : reject();
  }
  // Taken before the format checks, so a refused file still leaves its resolution behind.
  setPixelsPerMeter(reader.xPixelsPerMeter(), reader.yPixelsPerMeter());
  if (!reader.checkFormat(status)) return reject();
  setPixelsPerMeter(reader.xPixelsPerMeter(), reader.yPixelsPerMeter());
  // The grid is sized without the paint: the reader writes every pixel.
  changeBitsPerPixel(reader.bitmapDepth());
  if (!allocateGrid(reader.width(), reader.height(), limits, false)) {
    status.cause = Cause::outOfMemory;
    return reject();
  }
  reader.readTable(status);
  for (size_t k = 0; k < colorTable_.size(); ++k) colorTable_[k] = reader.tableColor(k);
  GridSink sink(grid_.get(), static_cast<size_t>(width_));
  if (!reader.readRows(sink, status)) return reject();
  return true;
}

bool Bitmap::load(detail::ByteSource& source, const Limits& limits, Status& status) {
  if (limits.extended) {
    detail::ExtendedReader reader(source, limits);
    return loadWith(reader, limits, status);
  }
  detail::BmpReader reader(source, limits);
  return loadWith(reader, limits, status);
}

bool Bitmap::loadFile(const std::string& path, const Limits& limits, Status* status) {
  Status local;
  Status& s = status != nullptr ? *status : local;
  s = Status{};
  detail::FileSource source(path);
  if (!source.isOpen()) {
    changeBitsPerPixel(1);
    resize(1, 1);
    s.cause = Cause::cannotOpen;
    s.systemError = source.openError();
    return false;
  }
  return load(source, limits, s);
}

bool Bitmap::loadMemory(std::span<const uint8_t> bytes, const Limits& limits, Status* status) {
  Status local;
  Status& s = status != nullptr ? *status : local;
  s = Status{};
  detail::MemorySource source(bytes.data(), bytes.size());
  return load(source, limits, s);
}

}  // namespace bmpfun
