// The RGBA image and every operation on it.
//
// Pixels are row-major: pixel (x, y) is element x + y * width(), x the column from 0 at the
// left, y the row from 0 at the top. Operations that keep the size work in place; those that
// change it (fun, mosaic, crop, scale, rotate, autoCrop) return a new image, empty when it
// cannot be made, with the reason in the optional status argument. No operation prints or
// ends the process.
#pragma once
#include <bmpfun/bmp.hpp>
#include <bmpfun/limits.hpp>
#include <bmpfun/pixel.hpp>
#include <bmpfun/status.hpp>

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace bmpfun {

// Sampling::point, ::bilinear, ::gaussian name them for new code; SamplingMethod's constants
// and the int setter stay for callers that pass numbers.
enum class Sampling : int32_t { point = 0, bilinear = 1, gaussian = 2 };
enum SamplingMethod : int32_t { kPoint = 0, kBilinear = 1, kGaussian = 2 };

// Operations split their work over Limits::threads threads (of the limits the image was made
// with, or load's) where the order of the work cannot be seen in the result: create and
// copyOf, the warps, mosaic, crop, scale, rotate, autoCrop, edgeDetect, brightness, contrast,
// saturation, extractChannel, quantize and orderedDither. Threads are started for the call
// and joined before it returns, and only for work large enough to pay for them. The result
// is the same for every thread count. noise, randomDither, FloydSteinbergDither, blur and
// sharpen, and load and save, always run on the caller's thread.
class Image {
 public:
  // Blank image: every pixel (255, 255, 255, 0).
  [[nodiscard]] static std::unique_ptr<Image> create(int32_t width, int32_t height, const Limits& limits = {},
                                       Status* status = nullptr);
  // Load a BMP file, read straight into the image's pixels. Alpha is the file's fourth byte
  // (32 bits), the table entry's fourth byte (1/4/8 bits), or 0 (16 and 24 bits). A file
  // whose data ends early loads, with the warning in status->codec().
  [[nodiscard]] static std::unique_ptr<Image> load(const std::string& path, const Limits& limits = {},
                                     Status* status = nullptr);
  // The same from the bytes of a file in memory: the same results and statuses.
  [[nodiscard]] static std::unique_ptr<Image> loadMemory(std::span<const uint8_t> bytes, const Limits& limits = {},
                                           Status* status = nullptr);
  // Copy of the source's current pixels and resolution (so it saves the file the source
  // saves); the copy's sampling method is 0.
  [[nodiscard]] static std::unique_ptr<Image> copyOf(const Image& source, Status* status = nullptr);

  // Only the factories can name Key, so this is their way to reach std::make_unique.
  struct Key {
   private:
    friend class Image;
    Key() = default;
  };
  explicit Image(Key) {}

  Image(const Image&) = delete;
  Image& operator=(const Image&) = delete;
  ~Image() = default;

  int32_t width() const { return width_; }
  int32_t height() const { return height_; }
  int32_t pixelCount() const { return pixelCount_; }
  int32_t samplingMethod() const { return samplingMethod_; }
  const Limits& limits() const { return limits_; }
  // Every pixel, row-major (width() x height() of them); the count cannot change.
  std::span<Pixel> pixels() { return {pixels_.data(), pixels_.size()}; }
  std::span<const Pixel> pixels() const { return {pixels_.data(), pixels_.size()}; }
  // The resolution of the file the image was loaded from (or its copy's source was), in
  // pixels per metre; 0 (written as 3780) for an image made any other way.
  int32_t xPixelsPerMeter() const { return xPixelsPerMeter_; }
  int32_t yPixelsPerMeter() const { return yPixelsPerMeter_; }
  // The resolution a save writes (0: 3780).
  void setPixelsPerMeter(int32_t x, int32_t y) {
    xPixelsPerMeter_ = x;
    yPixelsPerMeter_ = y;
  }

  // Write as an uncompressed 24-bit BMP file (alpha dropped), straight from the pixels. True
  // when the file was written; otherwise what was at path is left as it was. Replaced like
  // Bitmap::saveFile replaces (see there and SaveOptions, whose sync flushes it to the disk).
  [[nodiscard]] bool save(const std::string& path, Status* status = nullptr) const;
  [[nodiscard]] bool save(const std::string& path, const SaveOptions& options, Status* status = nullptr) const;
  // The bytes save writes, into out (replaced; empty on failure).
  [[nodiscard]] bool saveMemory(std::vector<uint8_t>& out, Status* status = nullptr) const;
  // At bits per pixel 1, 4, 8, 16, 24 or 32 (options.alphaMasks: 32 bits with the V5 header
  // and masks): the file save writes, read back and changed to that depth by the codec
  // (Bitmap::changeBitsPerPixel, then saved with options), as `bmpfun convert` changes it.
  // 1, 4 and 8 bits map each pixel to the nearest entry of the default table. The alpha is
  // what reading the 24-bit file gives: at 32 bits the fourth byte is 0 (255 when limits()
  // read with the extended reader), and 255 with alphaMasks. Any other depth is
  // unsupportedDepth, and nothing is written.
  [[nodiscard]] bool save(const std::string& path, int32_t bits, const SaveOptions& options,
                          Status* status = nullptr) const;
  [[nodiscard]] bool saveMemory(std::vector<uint8_t>& out, int32_t bits, const SaveOptions& options,
                                Status* status = nullptr) const;

  void sampling(int32_t method) { samplingMethod_ = method; }
  void sampling(Sampling method) { samplingMethod_ = static_cast<int32_t>(method); }
  bool isValid(int32_t x, int32_t y) const { return x >= 0 && x < width_ && y >= 0 && y < height_; }
  // Unchecked: test isValid first where a coordinate may fall outside.
  Pixel& pixel(int32_t x, int32_t y) { return pixels_[index(x, y)]; }
  const Pixel& pixel(int32_t x, int32_t y) const { return pixels_[index(x, y)]; }

  // ---- resampling (filters/sampling.cpp)
  // Colour at a real position under samplingMethod(): point, bilinear or gaussian; white
  // (255, 255, 255, 255) outside the image; opaque black for any other method.
  Pixel sample(double x, double y) const;

  // ---- per-pixel adjustments (filters/adjustments.cpp); column by column, in place
  void noise(double factor);
  void brightness(double factor);
  void contrast(double factor);
  void saturation(double factor);
  void extractChannel(int32_t channel);
  void quantize(int32_t nbits);

  // ---- dithering (filters/dithering.cpp); nbits clamped into 1..8
  void randomDither(int32_t nbits);
  void orderedDither(int32_t nbits);
  void FloydSteinbergDither(int32_t nbits);

  // ---- neighbourhood filters (filters/neighbourhood.cpp)
  void blur(int32_t maskSize);
  void sharpen(int32_t maskSize);
  // False (image unchanged) when the working copy cannot be made. Like every in-place
  // operation it keeps the image's storage: a span of pixels() stays valid.
  [[nodiscard]] bool edgeDetect();

  // ---- warps (filters/fun.cpp); every output pixel is one `sample` of this image
  // Effect 0 sine wave (w x h), 1 polar disc ((2h + 1) x (2h + 1)), 2 the disc's stores
  // counted linearly into w x h (stores past the end dropped, later ones win); pi is the
  // truncated 3.141592. Any other effect: empty, noSuchEffect.
  [[nodiscard]] std::unique_ptr<Image> fun(int32_t effect, Status* status = nullptr) const;
  // Diagonal cells bandWidth pixels across keep one or two colour channels; alpha stays 0
  // and cells with i >= (2w) / bandWidth keep the blank white. bandWidth <= 0 writes nothing.
  [[nodiscard]] std::unique_ptr<Image> mosaic(int32_t bandWidth, Status* status = nullptr) const;

  // ---- geometry (filters/geometry.cpp)
  // The rectangle with top-left (x, y); a side below 1 is badSize, a rectangle not wholly
  // inside the image outsideSource.
  [[nodiscard]] std::unique_ptr<Image> crop(int32_t x, int32_t y, int32_t width, int32_t height,
                              Status* status = nullptr) const;
  // (int)(w * sx) x (int)(h * sy); pixel (i, j) samples (i / sx, j * (1 / sy)). A size that
  // is not finite or truncates below 1 is badSize; past int32 or the limit, tooLarge.
  [[nodiscard]] std::unique_ptr<Image> scale(double sx, double sy, Status* status = nullptr) const;
  // Counter-clockwise (row 0 at the top) about pixel (0, 0), degrees times 3.141592 / 180:
  // the (2d + 1)^2 square (d the truncated diagonal) trimmed as autoCrop would trim it. The
  // square is never made; only the trimmed result counts against the limit (tooLarge).
  [[nodiscard]] std::unique_ptr<Image> rotate(double degrees, Status* status = nullptr) const;
  // Box of the pixels other than (255, 255, 255, 255); none at all is noContent.
  [[nodiscard]] std::unique_ptr<Image> autoCrop(Status* status = nullptr) const;

 private:
  size_t index(int32_t x, int32_t y) const {
    return static_cast<size_t>(x) + static_cast<size_t>(y) * static_cast<size_t>(width_);
  }
  // Size the pixels, painted blank (or left for the caller to overwrite, which then touches
  // the memory first, on its own threads); shared by the factories and the operations that
  // write every pixel of their result.
  [[nodiscard]] static std::unique_ptr<Image> allocate(int32_t width, int32_t height, const Limits& limits,
                                         Status* status, bool paint = true);
  [[nodiscard]] static std::unique_ptr<Image> loadFrom(detail::ByteSource& source, const Limits& limits,
                                         Status* status);

  // The pixel storage, a block of the codec's grid storage (unpainted when it is made).
  class Grid {
   public:
    Pixel* data() { return block_.get(); }
    const Pixel* data() const { return block_.get(); }
    size_t size() const { return size_; }
    Pixel& operator[](size_t k) { return block_[k]; }
    const Pixel& operator[](size_t k) const { return block_[k]; }
    void reset(Pixel* block, size_t size) {
      block_.reset(block);
      size_ = size;
    }

   private:
    struct Release {
      void operator()(Pixel* block) const noexcept;
    };
    std::unique_ptr<Pixel[], Release> block_;
    size_t size_ = 0;
  };

  Grid pixels_;
  int32_t width_ = 0;
  int32_t height_ = 0;
  int32_t pixelCount_ = 0;
  int32_t samplingMethod_ = kPoint;
  int32_t xPixelsPerMeter_ = 0;
  int32_t yPixelsPerMeter_ = 0;
  Limits limits_;
};

}  // namespace bmpfun
