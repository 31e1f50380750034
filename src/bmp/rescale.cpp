// Bilinear rescale of a Bitmap in place: the new grid is computed from the old one, which it
// then replaces, so the peak is the two grids and nothing more.
#include <bmpfun/bmp.hpp>

#include <cmath>
#include <optional>
#include <utility>

#include "base/parallel.hpp"

namespace bmpfun {

namespace {

// The old grid, read with Bitmap's clamping: a column or row past the last reads the last.
class OldGrid {
 public:
  OldGrid(const BitmapPixel* pixels, int32_t width, int32_t height) : pixels_(pixels), width_(width), height_(height) {}
  const BitmapPixel& at(int32_t x, int32_t y) const {
    if (x >= width_) x = width_ - 1;
    if (x < 0) x = 0;
    if (y >= height_) y = height_ - 1;
    if (y < 0) y = 0;
    return pixels_[static_cast<size_t>(x) + static_cast<size_t>(y) * static_cast<size_t>(width_)];
  }

 private:
  const BitmapPixel* pixels_;
  int32_t width_;
  int32_t height_;
};

// Nanoseconds per new pixel on one core, for the choice of thread count.
constexpr double kPixelCost = 12.0;

// Truncation toward zero, stored as a byte. Every value here is a weighted mean of bytes, so
// it lies within 0..255 up to rounding error; the guard keeps the conversion defined anyway.
uint8_t truncByte(double v) {
  if (!(v > -1.0 && v < 256.0)) return 0;
  return static_cast<uint8_t>(static_cast<int32_t>(v));
}

// floor(v); every side computed here lies within +-2^62, so it fits 64 bits.
int64_t floorToInt64(double v) { return static_cast<int64_t>(std::floor(v)); }
bool fitsInt32(int64_t v) { return v >= INT32_MIN && v <= INT32_MAX; }

}  // namespace

bool rescale(Bitmap& bitmap, char mode, int32_t value, const Limits& limits, Status* status) {
  Status local;
  Status& result = status != nullptr ? *status : local;
  result = Status{};
  // A refusal names the size it was asked for (as far as it is known).
  const auto refuse = [&result](Cause why, int64_t width = 0, int64_t height = 0) {
    result.cause = why;
    result.width = width;
    result.height = height;
    return false;
  };
  const auto tooLarge = [&](int64_t width, int64_t height) {
    result.maxPixels = limits.maxPixels;
    return refuse(Cause::tooLarge, width, height);
  };
  // The resolution is read in dots per inch, which stores 3780 into an unset field whatever
  // happens next.
  bitmap.horizontalDpi();
  bitmap.verticalDpi();

  char m = mode;
  if (m >= 'a' && m <= 'z') m = static_cast<char>(m - 'a' + 'A');
  const int32_t ow = bitmap.width();
  const int32_t oh = bitmap.height();
  if (m == 'F') m = ow > oh ? 'W' : 'H';

  int64_t nw = 0, nh = 0;
  if (m == 'P') {
    // The products are 32-bit integers; one that would wrap is refused rather than wrapped.
    const int64_t pw = int64_t{ow} * value, ph = int64_t{oh} * value;
    if (pw < INT32_MIN || pw > INT32_MAX || ph < INT32_MIN || ph > INT32_MAX) return tooLarge(pw / 100, ph / 100);
    nw = floorToInt64(static_cast<double>(pw) * 0.01);
    nh = floorToInt64(static_cast<double>(ph) * 0.01);
  } else if (m == 'W') {
    nw = value;
    nh = floorToInt64(static_cast<double>(value) / ow * oh);
  } else if (m == 'H') {
    nw = floorToInt64(static_cast<double>(value) / oh * ow);
    nh = value;
  } else {
    result.mode = mode;
    return refuse(Cause::unknownMode);
  }
  // A side that does not fit 32 bits is refused; one below 1 becomes 1.
  if (!fitsInt32(nw) || !fitsInt32(nh)) return tooLarge(nw, nh);
  const int32_t newWidth = nw < 1 ? 1 : static_cast<int32_t>(nw);
  const int32_t newHeight = nh < 1 ? 1 : static_cast<int32_t>(nh);
  if (!limits.allows(newWidth, newHeight)) return tooLarge(newWidth, newHeight);

  // The result: 24 bits without a table, white with alpha 0 where nothing below writes (the
  // alpha of every pixel but the corner), the old resolution.
  Bitmap scaled;
  if (!scaled.resize(newWidth, newHeight, limits)) return refuse(Cause::outOfMemory, newWidth, newHeight);
  scaled.setPixelsPerMeter(bitmap.xPixelsPerMeter(), bitmap.yPixelsPerMeter());
  const OldGrid old(bitmap.data(), ow, oh);

  const double owM1 = static_cast<double>(ow) - 1.0, ohM1 = static_cast<double>(oh) - 1.0;
  const double nwM1 = static_cast<double>(newWidth) - 1.0, nhM1 = static_cast<double>(newHeight) - 1.0;

  // Rows 0 .. NH - 2 are interior rows, each with its last column from the old last column
  // only; row NH - 1 comes from the old last row only, up to its last column. Every row
  // writes its own pixels and reads the old grid alone, so the rows are split over the
  // limits' threads.
  const auto interiorRow = [&](int32_t j) {
    const double tJ = static_cast<double>(j) * ohM1 / nhM1;
    const auto J = static_cast<int32_t>(std::floor(tJ));
    const double tj = tJ - J;
    for (int32_t i = 0; i <= newWidth - 2; ++i) {
      const double tI = static_cast<double>(i) * owM1 / nwM1;
      const auto I = static_cast<int32_t>(std::floor(tI));
      const double ti = tI - I;
      const double p = ti * tj;
      const double w00 = ((1.0 - ti) - tj) + p;
      const double w01 = tj - p;
      const double w10 = ti - p;
      const double w11 = p;
      const BitmapPixel& q00 = old.at(I, J);
      const BitmapPixel& q10 = old.at(I + 1, J);
      const BitmapPixel& q01 = old.at(I, J + 1);
      const BitmapPixel& q11 = old.at(I + 1, J + 1);
      BitmapPixel& n = scaled.pixelRef(i, j);
      // Red and green sum in one grouping, blue in another: both are part of the scaled.
      n.red = truncByte(((q10.red * w10 + q01.red * w01) + q11.red * w11) + q00.red * w00);
      n.green = truncByte(((q10.green * w10 + q01.green * w01) + q11.green * w11) + q00.green * w00);
      n.blue = truncByte(((q11.blue * w11 + q00.blue * w00) + q10.blue * w10) + q01.blue * w01);
    }
    const BitmapPixel& a = old.at(ow - 1, J + 1);
    const BitmapPixel& b = old.at(ow - 1, J);
    BitmapPixel& n = scaled.pixelRef(newWidth - 1, j);
    n.red = truncByte(a.red * tj + b.red * (1.0 - tj));
    n.green = truncByte(a.green * tj + b.green * (1.0 - tj));
    n.blue = truncByte(a.blue * tj + b.blue * (1.0 - tj));
  };
  const auto lastRow = [&] {
    for (int32_t i = 0; i <= newWidth - 2; ++i) {
      const double tI = static_cast<double>(i) * owM1 / nwM1;
      const auto I = static_cast<int32_t>(std::floor(tI));
      const double ti = tI - I;
      const BitmapPixel& a = old.at(I + 1, oh - 1);
      const BitmapPixel& b = old.at(I, oh - 1);
      BitmapPixel& n = scaled.pixelRef(i, newHeight - 1);
      n.red = truncByte(a.red * ti + b.red * (1.0 - ti));
      n.green = truncByte(a.green * ti + b.green * (1.0 - ti));
      n.blue = truncByte(a.blue * ti + b.blue * (1.0 - ti));
    }
  };
  detail::forEachChunk(limits, newHeight, kPixelCost * newWidth, [&](int64_t first, int64_t end) {
    for (auto j = static_cast<int32_t>(first); j < end; ++j) {
      if (j == newHeight - 1) {
        lastRow();
      } else {
        interiorRow(j);
      }
    }
  });

  // The corner is the old corner, alpha included.
  scaled.pixelRef(newWidth - 1, newHeight - 1) = old.at(ow - 1, oh - 1);
  bitmap = std::move(scaled);
  return true;
}

}  // namespace bmpfun
