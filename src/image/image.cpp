// Image creation, loading and saving. The factories never print or end the process: a size
// that cannot be made or a file that cannot be read gives an empty pointer and a status.
// Loading and saving go through the codec's reader and writer row by row, so an image never
// holds a second copy of its pixels.
#include <bmpfun/image.hpp>

#include "base/byte_source.hpp"
#include "bmp/extended_reader.hpp"
#include "base/grid_storage.hpp"
#include "bmp/reader.hpp"
#include "bmp/row_codec.hpp"
#include "bmp/writer.hpp"
#include "image/report.hpp"
#include "base/parallel.hpp"

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstring>
#include <limits>
#include <new>
#include <optional>
#include <utility>

namespace bmpfun {

namespace {

// Bitmap pixels keep blue, green, red, alpha; image pixels red, green, blue, alpha. Both are
// four bytes in their declared order, so a row turns into the other with one swap of the
// first and third byte of every 4-byte pixel.
static_assert(sizeof(Pixel) == 4 && offsetof(Pixel, r) == 0 && offsetof(Pixel, b) == 2);
static_assert(sizeof(BitmapPixel) == 4 && offsetof(BitmapPixel, blue) == 0 &&
              offsetof(BitmapPixel, red) == 2);

void swapRedBlue(const void* in, void* out, size_t count) {
  const auto* src = static_cast<const uint8_t*>(in);
  auto* dst = static_cast<uint8_t*>(out);
  if constexpr (std::endian::native == std::endian::little) {
    for (size_t i = 0; i < count; ++i) {
      uint32_t v;
      std::memcpy(&v, src + 4 * i, 4);
      v = (v & 0xFF00FF00u) | ((v >> 16) & 0xFFu) | ((v & 0xFFu) << 16);
      std::memcpy(dst + 4 * i, &v, 4);
    }
  } else {
    for (size_t i = 0; i < count; ++i, src += 4, dst += 4) {
      const uint8_t first = src[0];
      dst[0] = src[2];
      dst[1] = src[1];
      dst[2] = first;
      dst[3] = src[3];
    }
  }
}

using detail::failure;
using detail::report;
using detail::sizeFailure;

// Nanoseconds per pixel on one core to paint or copy fresh memory (mostly the page faults).
constexpr double kPaintCost = 1.0;

// Decoded rows land in a one-row buffer and go into the image's pixels swapped.
class PixelSink final : public detail::RowSink {
 public:
  PixelSink(Pixel* pixels, size_t width) : pixels_(pixels), width_(width), row_(width) {}
  BitmapPixel* row(size_t) override { return row_.data(); }
  void rowDone(size_t y) override { swapRedBlue(row_.data(), pixels_ + y * width_, width_); }
  void makeRowOpaque(size_t y) override {
    for (Pixel* p = pixels_ + y * width_; p != pixels_ + (y + 1) * width_; ++p) p->a = 255;
  }
  // Several threads at once: each decodes into a scratch row of its own.
  bool takesRowsAtOnce() const override { return true; }
  void rowFilled(size_t y, const BitmapPixel* pixels) override { swapRedBlue(pixels, pixels_ + y * width_, width_); }

 private:
  Pixel* pixels_;
  size_t width_;
  std::vector<BitmapPixel> row_;
};

// The image's rows, swapped into the writer's scratch row; with an alpha, every pixel's
// alpha replaced by it.
class PixelRows final : public detail::RowSource {
 public:
  PixelRows(const Pixel* pixels, size_t width, std::optional<uint8_t> alpha = std::nullopt)
      : pixels_(pixels), width_(width), alpha_(alpha) {}
  const BitmapPixel* row(size_t y, BitmapPixel* scratch) override {
    swapRedBlue(pixels_ + y * width_, scratch, width_);
    if (alpha_) {
      for (size_t x = 0; x < width_; ++x) scratch[x].alpha = *alpha_;
    }
    return scratch;
  }

 private:
  const Pixel* pixels_;
  size_t width_;
  std::optional<uint8_t> alpha_;
};

}  // namespace

std::unique_ptr<Image> Image::allocate(int32_t width, int32_t height, const Limits& limits,
                                       Status* status, bool paint) {
  if (width < 1 || height < 1) {
    report(status, sizeFailure(Cause::badSize, width, height, limits));
    return nullptr;
  }
  const int64_t count = int64_t{width} * int64_t{height};
  // pixelCount is an int32, so a caller's limit beyond that range still stops here.
  if (!limits.allows(width, height) || count > std::numeric_limits<int32_t>::max()) {
    Status s = sizeFailure(Cause::tooLarge, width, height, limits);
    s.maxPixels = std::min<int64_t>(limits.maxPixels, std::numeric_limits<int32_t>::max());
    report(status, s);
    return nullptr;
  }
  try {
    auto image = std::make_unique<Image>(Key{});
    // Grid storage: on huge pages where the system has them, and not touched here, so that
    // whoever writes the pixels first (on as many threads as it uses) also takes the faults.
    image->pixels_.reset(detail::allocateGridOf<Pixel>(static_cast<uint64_t>(count)),
                         static_cast<size_t>(count));
    if (paint) {
      // Blank: white with alpha 0, row bands on the limits' threads.
      Pixel* const pixels = image->pixels_.data();
      const auto stride = static_cast<size_t>(width);
      detail::forEachChunk(limits, height, kPaintCost * width, [&](int64_t first, int64_t end) {
        std::fill(pixels + static_cast<size_t>(first) * stride, pixels + static_cast<size_t>(end) * stride,
                  Pixel{255, 255, 255, 0});
      });
    }
    image->width_ = width;
    image->height_ = height;
    image->pixelCount_ = static_cast<int32_t>(count);
    image->samplingMethod_ = kPoint;
    image->limits_ = limits;
    report(status, Status{});
    return image;
  } catch (const std::bad_alloc&) {
    report(status, sizeFailure(Cause::outOfMemory, width, height, limits));
    return nullptr;
  }
}

std::unique_ptr<Image> Image::create(int32_t width, int32_t height, const Limits& limits,
                                     Status* status) {
  return allocate(width, height, limits, status);
}

namespace {

// Either reader, through its stages, into the image's pixels.
// allocate(width, height, status) gives the pixels to fill, or nullptr with the reason.
template <typename Reader, typename Allocate>
bool readInto(Reader& reader, Status& status, Allocate allocate) {
  if (!reader.readHeaders(status) || !reader.checkFormat(status)) return false;
  Status made;
  Pixel* pixels = allocate(reader.width(), reader.height(), made);
  if (pixels == nullptr) {
    // The reader enforces the same limit, so what is left is a size past 32 bits or memory.
    status.cause = made.cause;
    status.maxPixels = made.maxPixels;
    return false;
  }
  reader.readTable(status);
  // Alpha is whatever the reader gives: for the default reader the pixel's fourth byte at 32
  // bits, the table entry's at 1/4/8 bits, 0 at 16 and 24 bits; for the extended reader the
  // opacity.
  PixelSink sink(pixels, static_cast<size_t>(reader.width()));
  return reader.readRows(sink, status);
}

}  // namespace

std::unique_ptr<Image> Image::loadFrom(detail::ByteSource& source, const Limits& limits,
                                       Status* status) {
  Status local;
  Status& s = status != nullptr ? *status : local;
  s = Status{};
  std::unique_ptr<Image> image;
  const auto allocateFor = [&](int32_t width, int32_t height, Status& made) -> Pixel* {
    image = allocate(width, height, limits, &made, false);
    return image ? image->pixels_.data() : nullptr;
  };
  try {
    bool read = false;
    int32_t xPixelsPerMeter = 0, yPixelsPerMeter = 0;
    if (limits.extended) {
      detail::ExtendedReader reader(source, limits);
      read = readInto(reader, s, allocateFor);
      xPixelsPerMeter = reader.xPixelsPerMeter();
      yPixelsPerMeter = reader.yPixelsPerMeter();
    } else {
      detail::BmpReader reader(source, limits);
      read = readInto(reader, s, allocateFor);
      xPixelsPerMeter = reader.xPixelsPerMeter();
      yPixelsPerMeter = reader.yPixelsPerMeter();
    }
    if (!read) return nullptr;
    image->xPixelsPerMeter_ = xPixelsPerMeter;
    image->yPixelsPerMeter_ = yPixelsPerMeter;
    return image;
  } catch (const std::bad_alloc&) {
    s.cause = Cause::outOfMemory;
    return nullptr;
  }
}

std::unique_ptr<Image> Image::load(const std::string& path, const Limits& limits,
                                   Status* status) {
  detail::FileSource source(path);
  if (!source.isOpen()) {
    Status s = failure(Cause::cannotOpen);
    s.systemError = source.openError();
    report(status, s);
    return nullptr;
  }
  return loadFrom(source, limits, status);
}

std::unique_ptr<Image> Image::loadMemory(std::span<const uint8_t> bytes, const Limits& limits,
                                         Status* status) {
  detail::MemorySource source(bytes.data(), bytes.size());
  return loadFrom(source, limits, status);
}

std::unique_ptr<Image> Image::copyOf(const Image& source, Status* status) {
  auto image = allocate(source.width_, source.height_, source.limits_, status, false);
  if (!image) return image;
  image->xPixelsPerMeter_ = source.xPixelsPerMeter_;
  image->yPixelsPerMeter_ = source.yPixelsPerMeter_;
  const Pixel* const from = source.pixels_.data();
  Pixel* const to = image->pixels_.data();
  const auto stride = static_cast<size_t>(source.width_);
  detail::forEachChunk(source.limits_, source.height_, kPaintCost * source.width_,
                       [&](int64_t first, int64_t end) {
    std::copy(from + static_cast<size_t>(first) * stride, from + static_cast<size_t>(end) * stride,
              to + static_cast<size_t>(first) * stride);
  });
  return image;
}

void Image::Grid::Release::operator()(Pixel* block) const noexcept {
  detail::releaseGridStorage(block);
}

namespace {

// The 24-bit file, or at another depth that file as the codec reads it back and writes it:
// the default table of a paletted depth, and the alpha the reader gives a 24-bit file (the
// default reader 0, the extended one 255), which a V5 header writes as 255 either way.
template <typename Save>
bool saveWith(const Image& image, int32_t bits, bool alphaMasks, Status* status, Save save) {
  Status codec;
  bool ok = false;
  if (bits != 1 && bits != 4 && bits != 8 && bits != 16 && bits != 24 && bits != 32) {
    codec.cause = Cause::unsupportedDepth;
    codec.bitsPerPixel = static_cast<uint32_t>(bits);
    report(status, codec);
    return false;
  }
  try {
    const bool v5 = alphaMasks && bits == 32;
    const uint8_t readBack = v5 || image.limits().extended ? 255 : 0;
    PixelRows rows(image.pixels().data(), static_cast<size_t>(image.width()),
                   bits == 24 ? std::nullopt : std::optional<uint8_t>(readBack));
    std::vector<BitmapPixel> table;
    if (bits <= 8) {
      table.resize(size_t{1} << bits);
      detail::defaultColorTable(bits, table.data());
    }
    const detail::FileFields fields{bits, image.width(), image.height(), image.xPixelsPerMeter(),
                                    image.yPixelsPerMeter(), v5, false};
    ok = save(detail::SaveJob{fields, table, rows, image.limits().threads}, codec);
  } catch (const std::bad_alloc&) {
    codec.cause = Cause::outOfMemory;
  }
  report(status, ok ? Status{} : codec);
  return ok;
}

}  // namespace

bool Image::save(const std::string& path, Status* status) const {
  return save(path, SaveOptions{}, status);
}

bool Image::save(const std::string& path, const SaveOptions& options, Status* status) const {
  return save(path, 24, options, status);
}

bool Image::saveMemory(std::vector<uint8_t>& out, Status* status) const {
  return saveMemory(out, 24, SaveOptions{}, status);
}

bool Image::save(const std::string& path, int32_t bits, const SaveOptions& options, Status* status) const {
  return saveWith(*this, bits, options.alphaMasks, status, [&](const detail::SaveJob& job, Status& codec) {
    return detail::saveToFile(job, path, options, detail::systemFileIo(), codec);
  });
}

bool Image::saveMemory(std::vector<uint8_t>& out, int32_t bits, const SaveOptions& options,
                       Status* status) const {
  out.clear();
  return saveWith(*this, bits, options.alphaMasks, status, [&](const detail::SaveJob& job, Status& codec) {
    return detail::saveToMemory(job, out, codec);
  });
}

}  // namespace bmpfun
