// Pixel copies between bitmaps.
#include <bmpfun/bmp.hpp>

#include <algorithm>

namespace bmpfun {

void copyPixel(const Bitmap& from, int32_t fromX, int32_t fromY, Bitmap& to, int32_t toX, int32_t toY) {
  to.pixelRef(toX, toY) = from.pixel(fromX, fromY);
}

void copyPixelExcept(const Bitmap& from, int32_t fromX, int32_t fromY, Bitmap& to, int32_t toX,
                     int32_t toY, BitmapPixel transparent) {
  const BitmapPixel p = from.pixel(fromX, fromY);
  // Alpha takes no part in the comparison.
  if (p.red == transparent.red && p.green == transparent.green && p.blue == transparent.blue) return;
  to.pixelRef(toX, toY) = p;
}

namespace {

// Target coordinates far outside int32 clamp to the same edge pixel as int32's extremes.
int32_t narrow(int64_t v) {
  return static_cast<int32_t>(std::clamp<int64_t>(v, INT32_MIN, INT32_MAX));
}

template <typename Copy>
void copyRectWith(const Bitmap& from, int32_t left, int32_t right, int32_t rowA, int32_t rowB, Bitmap& to,
                  int32_t toX, int32_t toY, Copy copy) {
  // Row bounds may come in either order; column bounds may not (left > right copies nothing).
  int64_t l = left, r = right;
  int64_t top = std::min(rowA, rowB), bottom = std::max(rowA, rowB);
  if (r >= from.width()) r = from.width() - 1;
  if (l < 0) l = 0;
  if (bottom >= from.height()) bottom = from.height() - 1;
  if (top < 0) top = 0;
  // Clip to the target's right and bottom edges only; a negative toX or toY is left to the
  // target's clamping, which piles those pixels onto its first column or row.
  if (r - l + toX >= to.width()) r = l + to.width() - 1 - toX;
  if (bottom - top + toY >= to.height()) bottom = top + to.height() - 1 - toY;
  for (int64_t y = top; y <= bottom; ++y) {
    for (int64_t x = l; x <= r; ++x) {
      copy(static_cast<int32_t>(x), static_cast<int32_t>(y), narrow(toX + x - l), narrow(toY + y - top));
    }
  }
}

}  // namespace

void copyRect(const Bitmap& from, int32_t left, int32_t right, int32_t rowA, int32_t rowB, Bitmap& to,
              int32_t toX, int32_t toY) {
  copyRectWith(from, left, right, rowA, rowB, to, toX, toY,
               [&](int32_t fx, int32_t fy, int32_t tx, int32_t ty) { copyPixel(from, fx, fy, to, tx, ty); });
}

void copyRectExcept(const Bitmap& from, int32_t left, int32_t right, int32_t rowA, int32_t rowB,
                    Bitmap& to, int32_t toX, int32_t toY, BitmapPixel transparent) {
  copyRectWith(from, left, right, rowA, rowB, to, toX, toY, [&](int32_t fx, int32_t fy, int32_t tx, int32_t ty) {
    copyPixelExcept(from, fx, fy, to, tx, ty, transparent);
  });
}

}  // namespace bmpfun
