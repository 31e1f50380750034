// The fun warps and the diagonal colour mosaic. Each builds a new image by inverse mapping:
// every output pixel asks the source's `sample` for the colour at a computed real position.
// The constants, the evaluation order of every real expression and the loop orders are
// fixed: the pictures must come out the same to the last bit on every host.
#include <bmpfun/image.hpp>

#include <cmath>
#include <cstddef>
#include <limits>

namespace bmpfun {

namespace {

// The filters' pi is truncated to six decimals, and its reciprocal is kept as a constant
// of its own (it is slightly above 1 / pi, which decides several edge columns).
constexpr double kPi = 3.141592;
constexpr double kInversePi = 0.3183099524062959;

void report(ImageStatus* status, ImageStatus value) {
  if (status != nullptr) *status = value;
}

// floor(n / d) for d > 0; the diagonal difference of a mosaic pixel may be negative.
int64_t floorDiv(int64_t n, int64_t d) {
  const int64_t q = n / d;
  return (n % d != 0 && n < 0) ? q - 1 : q;
}

}  // namespace

// Effect 0 (sine wave, w x h): column i shows the source column lifted by
// (h / 2) * sin(2 * i * pi' / w). Effect 1 (polar disc, (2h + 1) x (2h + 1)): source row r
// becomes the circle of radius r around the centre, column w / 2 the ray to the right.
// Effect 2: effect 1's stores, counted linearly into a w x h image; stores past the end are
// dropped and later stores replace earlier ones. Other effect numbers: empty, noSuchEffect.
std::unique_ptr<Image> Image::fun(int32_t effect, ImageStatus* status) const {
  if (effect < 0 || effect > 2) {
    report(status, ImageStatus::noSuchEffect);
    return nullptr;
  }
  const int32_t w = width_;
  const int32_t h = height_;

  if (effect == 0) {
    auto out = create(w, h, limits_, status);
    if (!out) return out;
    std::vector<Pixel>& target = out->pixels_;
    const double amplitude = static_cast<double>(h / 2);
    const size_t stride = static_cast<size_t>(w);
    for (int32_t i = 0; i < w; ++i) {
      // Multiply by pi' first, divide by w second.
      const double angle =
          (static_cast<double>(int64_t{2} * i) * kPi) / static_cast<double>(w);
      const double shift = amplitude * std::sin(angle);
      const double x = static_cast<double>(i);
      size_t element = static_cast<size_t>(i);
      for (int32_t k = 0; k < h; ++k, element += stride) {
        target[element] = sample(x, shift + static_cast<double>(k));
      }
    }
    return out;
  }

  // Effects 1 and 2 walk the same (2h + 1)^2 offsets around the centre.
  const int64_t side = int64_t{2} * h + 1;
  if (effect == 1 && side > std::numeric_limits<int32_t>::max()) {
    report(status, ImageStatus::tooLarge);
    return nullptr;
  }
  auto out = effect == 1 ? create(static_cast<int32_t>(side), static_cast<int32_t>(side),
                                  limits_, status)
                         : create(w, h, limits_, status);
  if (!out) return out;
  std::vector<Pixel>& target = out->pixels_;
  const double halfWidth = static_cast<double>(w / 2);
  // Element numbers: effect 1 addresses its square, effect 2 counts (c + h) * w + (i + h)
  // in the w-wide output, so columns past w spill into later rows.
  const int64_t rowLength = effect == 1 ? side : int64_t{w};
  const int64_t end = static_cast<int64_t>(target.size());

  for (int64_t i = -h; i <= h; ++i) {
    const double di = static_cast<double>(i);
    for (int64_t c = -h; c <= h; ++c) {
      const int64_t element = (c + h) * rowLength + (i + h);
      // The element grows with c, so once a store of effect 2 leaves the array every later
      // one in this column does too; skipping them changes no pixel.
      if (element >= end) break;
      const double dc = static_cast<double>(c);
      // Row offset first: theta is 0 to the right of the centre and positive below it.
      const double theta = std::atan2(dc, di);
      const double radius = std::sqrt(std::pow(dc, 2.0) + std::pow(di, 2.0));
      const double x = (halfWidth * theta) * kInversePi + halfWidth;
      target[static_cast<size_t>(element)] = sample(x, radius);
    }
  }
  return out;
}

// Diamond cells a pixels across: pixel (k, l) lies in cell (i, j) with
// j = floor((k + l) / a) and i = j - floor((k - l) / a). Cells are visited for
// i < (2 * w) / a only, so pixels towards the bottom-left corner (large i) keep the new
// image's white; written pixels keep one or two of the source's colour channels, chosen by
// j mod 4 and the parity of i, and their alpha stays 0. A band width of 0 or less writes
// nothing.
std::unique_ptr<Image> Image::mosaic(int32_t bandWidth, ImageStatus* status) const {
  auto out = create(width_, height_, limits_, status);
  if (!out || bandWidth <= 0) return out;
  const int64_t a = bandWidth;
  const int64_t cellColumns = (int64_t{2} * width_) / a;  // cells with i below this are visited
  std::vector<Pixel>& target = out->pixels_;

  // The cells are disjoint and the j range of every visited i covers all pixels of the
  // image, so working out each pixel's own cell gives the same picture as the cell walk.
  size_t element = 0;
  for (int32_t l = 0; l < height_; ++l) {
    for (int32_t k = 0; k < width_; ++k, ++element) {
      const int64_t j = (int64_t{k} + l) / a;  // k + l >= 0: plain division floors
      const int64_t i = j - floorDiv(int64_t{k} - l, a);
      if (i >= cellColumns) continue;
      const int64_t m = j % 4;
      const bool even = (i % 2) == 0;
      const Pixel& from = pixels_[element];
      Pixel& to = target[element];
      // Alpha is left as the new image made it.
      if ((m == 2 && even) || (m == 0 && !even)) {  // red only
        to.r = from.r;
        to.g = 0;
        to.b = 0;
      } else if ((m == 3 && even) || (m == 1 && !even)) {  // green only
        to.r = 0;
        to.g = from.g;
        to.b = 0;
      } else if ((m == 0 && even) || (m == 2 && !even)) {  // blue only
        to.r = 0;
        to.g = 0;
        to.b = from.b;
      } else {  // red and green
        to.r = from.r;
        to.g = from.g;
        to.b = 0;
      }
    }
  }
  return out;
}

}  // namespace bmpfun
