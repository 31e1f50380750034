// Geometry: crop, scale, rotate and the trim to the non-white content. Each returns a new
// image and leaves the source alone; a result that cannot be made is an empty pointer with
// the reason in the status, never a read outside the source.
#include <bmpfun/image.hpp>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>
#include <vector>

#include "filters/samplers.hpp"

namespace bmpfun {

namespace {

// Degrees to radians with the filters' truncated pi (3.141592 / 180), not the exact one:
// rotate(90) is therefore a hair short of a quarter turn.
constexpr double kRadiansPerDegree = 0.01745328888888889;

constexpr Pixel kWhite{255, 255, 255, 255};

void report(ImageStatus* status, ImageStatus value) {
  if (status != nullptr) *status = value;
}

// (int) of a real output size, refusing what the conversion cannot hold: NaN and anything
// that truncates below 1 is badSize, infinities too; a finite size past int32 is tooLarge.
bool outputSide(double side, int32_t& out, ImageStatus* status) {
  if (!(side >= 1.0) || std::isinf(side)) {
    report(status, ImageStatus::badSize);
    return false;
  }
  if (side >= 2147483648.0) {
    report(status, ImageStatus::tooLarge);
    return false;
  }
  out = static_cast<int32_t>(side);
  return true;
}

}  // namespace

// Copy of the width x height rectangle whose top-left pixel is (x, y). A side below 1 is
// badSize; a rectangle not wholly inside the source is outsideSource (nothing is read).
std::unique_ptr<Image> Image::crop(int32_t x, int32_t y, int32_t width, int32_t height,
                                   ImageStatus* status) const {
  if (width < 1 || height < 1) {
    report(status, ImageStatus::badSize);
    return nullptr;
  }
  if (x < 0 || y < 0 || int64_t{x} + width > width_ || int64_t{y} + height > height_) {
    report(status, ImageStatus::outsideSource);
    return nullptr;
  }
  auto out = create(width, height, limits_, status);
  if (!out) return out;
  // A plain copy of all four channels; every target pixel is written once, so copying row
  // by row gives the same image as the column walk.
  const size_t rowLength = static_cast<size_t>(width);
  for (int32_t j = 0; j < height; ++j) {
    const auto from = pixels_.begin() + static_cast<std::ptrdiff_t>(index(x, y + j));
    std::copy(from, from + static_cast<std::ptrdiff_t>(rowLength),
              out->pixels_.begin() + static_cast<std::ptrdiff_t>(out->index(0, j)));
  }
  return out;
}

// Resize to (int)(w * sx) x (int)(h * sy) through `sample`: output pixel (i, j) samples
// x = i / sx but y = j * (1 / sy); the two forms can differ in the last bit, which is kept.
// A size that is not finite, truncates below 1 or passes int32 or the limit gives empty.
std::unique_ptr<Image> Image::scale(double sx, double sy, ImageStatus* status) const {
  int32_t outWidth = 0;
  int32_t outHeight = 0;
  if (!outputSide(static_cast<double>(width_) * sx, outWidth, status) ||
      !outputSide(static_cast<double>(height_) * sy, outHeight, status)) {
    return nullptr;
  }
  auto out = create(outWidth, outHeight, limits_, status);
  if (!out) return out;
  // Every output pixel depends on its position alone, so the rows are filled one after the
  // other (the column-by-column order cannot be seen), with the method chosen once.
  const double inverseSy = 1.0 / sy;
  const size_t stride = static_cast<size_t>(outWidth);
  std::vector<double> column(stride);
  for (size_t i = 0; i < stride; ++i) column[i] = static_cast<double>(i) / sx;
  Pixel* row = out->pixels_.data();
  sampling::withSampler(*this, [&](const auto& sampler) {
    for (int32_t j = 0; j < outHeight; ++j, row += stride) {
      const double y = static_cast<double>(j) * inverseSy;
      for (size_t i = 0; i < stride; ++i) row[i] = sampler(column[i], y);
    }
  });
  return out;
}

// Turn by degrees about source pixel (0, 0); positive turns counter-clockwise with row 0 at
// the top. The source is sampled into a (2d + 1)^2 square, d = (int) of the source's
// diagonal, with the pivot at its centre, and the square is trimmed by autoCrop. A square
// past the limit is tooLarge; a square with nothing but white is noContent.
std::unique_ptr<Image> Image::rotate(double degrees, ImageStatus* status) const {
  const double rad = degrees * kRadiansPerDegree;
  const double diagonal = std::sqrt(std::pow(static_cast<double>(width_), 2.0) +
                                    std::pow(static_cast<double>(height_), 2.0));
  // The diagonal of an int32 image can pass int32; such a square passes any limit anyway.
  if (!(diagonal < 1073741824.0)) {
    report(status, ImageStatus::tooLarge);
    return nullptr;
  }
  const int32_t d = static_cast<int32_t>(diagonal);
  const int32_t side = 2 * d + 1;
  auto square = create(side, side, limits_, status);
  if (!square) return square;

  const double cosine = std::cos(rad);
  const double sine = std::sin(rad);
  // Square pixel (i + d, c + d) samples (i cos - c sin, c cos + i sin), each product rounded
  // on its own before the sum or difference. Filled row by row with the method chosen once.
  const size_t stride = static_cast<size_t>(side);
  std::vector<double> columnCos(stride);
  std::vector<double> columnSin(stride);
  for (int32_t i = -d; i <= d; ++i) {
    const double di = static_cast<double>(i);
    columnCos[static_cast<size_t>(i + d)] = di * cosine;
    columnSin[static_cast<size_t>(i + d)] = di * sine;
  }
  Pixel* row = square->pixels_.data();
  sampling::withSampler(*this, [&](const auto& sampler) {
    for (int32_t c = -d; c <= d; ++c, row += stride) {
      const double dc = static_cast<double>(c);
      const double dcSin = dc * sine;
      const double dcCos = dc * cosine;
      for (size_t k = 0; k < stride; ++k) {
        row[k] = sampler(columnCos[k] - dcSin, dcCos + columnSin[k]);
      }
    }
  });
  return square->autoCrop(status);
}

// The smallest rectangle holding every pixel that is not (255, 255, 255, 255); a white
// colour with any other alpha is content. An image with no such pixel is noContent.
std::unique_ptr<Image> Image::autoCrop(ImageStatus* status) const {
  int32_t left = width_;
  int32_t right = -1;
  int32_t top = height_;
  int32_t bottom = -1;
  size_t element = 0;
  for (int32_t y = 0; y < height_; ++y) {
    for (int32_t x = 0; x < width_; ++x, ++element) {
      if (pixels_[element] == kWhite) continue;
      left = std::min(left, x);
      right = std::max(right, x);
      top = std::min(top, y);
      bottom = y;
    }
  }
  if (right < 0) {
    report(status, ImageStatus::noContent);
    return nullptr;
  }
  return crop(left, top, right - left + 1, bottom - top + 1, status);
}

}  // namespace bmpfun
