// Image creation, loading and saving. The factories never print or end the process: a size
// that cannot be made or a file that cannot be read gives an empty pointer and a status.
#include <bmpfun/image.hpp>

#include "bmp/grid_access.hpp"
#include "bmp/writer.hpp"

#include <algorithm>
#include <cstddef>
#include <limits>
#include <new>
#include <utility>

namespace bmpfun {

const char* to_string(ImageStatus status) {
  switch (status) {
    case ImageStatus::ok: return "the image was made";
    case ImageStatus::badSize: return "the size is below 1 x 1";
    case ImageStatus::tooLarge: return "the size passes the pixel limit";
    case ImageStatus::outOfMemory: return "the pixels could not be allocated";
    case ImageStatus::loadFailed: return "the file could not be read as a BMP image";
    case ImageStatus::noSuchEffect: return "there is no effect with that number";
    case ImageStatus::outsideSource: return "the rectangle does not lie inside the source";
    case ImageStatus::noContent: return "the image has no non-white pixel";
  }
  return "unknown image status";
}

namespace {

// Loading and saving move whole arrays with one byte swap per pixel: the two pixel types
// must be four bytes laid out in their declared order.
static_assert(sizeof(Pixel) == 4 && offsetof(Pixel, r) == 0 && offsetof(Pixel, b) == 2);
static_assert(sizeof(BitmapPixel) == 4 && offsetof(BitmapPixel, blue) == 0 &&
              offsetof(BitmapPixel, red) == 2);

void report(ImageStatus* status, ImageStatus value) {
  if (status != nullptr) *status = value;
}

}  // namespace

std::unique_ptr<Image> Image::allocate(int32_t width, int32_t height, const Limits& limits,
                                       ImageStatus* status) {
  if (width < 1 || height < 1) {
    report(status, ImageStatus::badSize);
    return nullptr;
  }
  const int64_t count = int64_t{width} * int64_t{height};
  // pixelCount is an int32, so a caller's limit beyond that range still stops here.
  if (!limits.allows(width, height) || count > std::numeric_limits<int32_t>::max()) {
    report(status, ImageStatus::tooLarge);
    return nullptr;
  }
  try {
    auto image = std::make_unique<Image>(Key{});
    // Reserved (untouched) first, so that a large array can still be put on huge pages.
    image->pixels_.reserve(static_cast<size_t>(count));
    detail::adviseHugePages(image->pixels_.data(), static_cast<size_t>(count) * sizeof(Pixel));
    // Blank: white with alpha 0, the fill a freshly sized bitmap would give.
    image->pixels_.assign(static_cast<size_t>(count), Pixel{255, 255, 255, 0});
    image->width_ = width;
    image->height_ = height;
    image->pixelCount_ = static_cast<int32_t>(count);
    image->samplingMethod_ = kPoint;
    image->limits_ = limits;
    report(status, ImageStatus::ok);
    return image;
  } catch (const std::bad_alloc&) {
    report(status, ImageStatus::outOfMemory);
    return nullptr;
  }
}

std::unique_ptr<Image> Image::create(int32_t width, int32_t height, const Limits& limits,
                                     ImageStatus* status) {
  return allocate(width, height, limits, status);
}

std::unique_ptr<Image> Image::load(const std::string& path, const Limits& limits,
                                   ImageStatus* status) {
  try {
    Bitmap bitmap;
    if (!bitmap.loadFile(path, limits)) {
      report(status, ImageStatus::loadFailed);
      return nullptr;
    }
    ImageStatus made = ImageStatus::ok;
    auto image = allocate(bitmap.width(), bitmap.height(), limits, &made);
    if (!image) {
      // The reader enforces the same limit, so a size refusal here is still a refused file.
      report(status, made == ImageStatus::outOfMemory ? made : ImageStatus::loadFailed);
      return nullptr;
    }
    // The bitmap keeps blue, green, red, alpha; the image keeps r, g, b, a. Alpha is
    // whatever the reader left: the pixel's fourth byte at 32 bits, the table entry's at
    // 1/4/8 bits, the fill's 0 at 16 and 24 bits.
    detail::swapRedBlue(bitmap.data(), image->pixels_.data(), image->pixels_.size());
    image->bitmap_ = std::move(bitmap);
    report(status, ImageStatus::ok);
    return image;
  } catch (const std::bad_alloc&) {
    report(status, ImageStatus::outOfMemory);
    return nullptr;
  }
}

std::unique_ptr<Image> Image::copyOf(const Image& source, ImageStatus* status) {
  auto image = allocate(source.width_, source.height_, source.limits_, status);
  if (image) std::copy(source.pixels_.begin(), source.pixels_.end(), image->pixels_.begin());
  return image;
}

bool Image::save(const std::string& path) {
  try {
    // Every pixel is overwritten right below, so a new grid is not painted first.
    if ((bitmap_.width() != width_ || bitmap_.height() != height_) &&
        !detail::GridAccess::allocateUnpainted(bitmap_, width_, height_, limits_)) {
      return false;
    }
  } catch (const std::bad_alloc&) {
    return false;
  }
  detail::swapRedBlue(pixels_.data(), bitmap_.data(), pixels_.size());
  // 24 bits drops any colour table a palette file brought in; the pixels stay as stored.
  bitmap_.changeBitsPerPixel(24);
  return bitmap_.saveFile(path);
}

bool Image::writeFile(const std::string& path) const {
  return detail::savePixels24(pixels_.data(), width_, height_, bitmap_.xPixelsPerMeter(),
                              bitmap_.yPixelsPerMeter(), path, detail::systemFileIo());
}

}  // namespace bmpfun
