#include "ops.hpp"

#include "args.hpp"
#include "messages.hpp"

namespace bmpfun::cli {

namespace {

// Runs an operation that makes a new image and puts it in place of the old one; the status
// is read only after it ran.
template <typename Make>
Status replace(std::unique_ptr<Image>& image, Make make) {
  Status status;
  std::unique_ptr<Image> result = make(*image, &status);
  if (!result) {
    if (status.ok()) status.cause = Cause::outOfMemory;
    return status;
  }
  image = std::move(result);
  return Status{};
}

int32_t int0(const Op& op) { return op.ints.at(0); }
double real0(const Op& op) { return op.reals.at(0); }

// In-place operations cannot fail.
#define BMPFUN_IN_PLACE(body) \
  [](const Op& op, std::unique_ptr<Image>& image) { \
    static_cast<void>(op);                          \
    Image& img = *image;                            \
    body;                                           \
    return Status{};                                \
  }
#define BMPFUN_NEW_IMAGE(call) \
  [](const Op& op, std::unique_ptr<Image>& image) {                         \
    return replace(image, [&op](const Image& img, Status* status) { \
      static_cast<void>(op);                                              \
      return call;                                                        \
    });                                                                   \
  }

}  // namespace

const std::vector<OpInfo>& allOps() {
  static const std::vector<OpInfo> ops = {
      {"sampling", "i", "sampling=M", "resampling method for later warps: 0 point, 1 bilinear, 2 gaussian (others: opaque black)",
       BMPFUN_IN_PLACE(img.sampling(int0(op)))},
      {"noise", "r", "noise=F", "add F times a random colour to every pixel (rand(), never seeded)",
       BMPFUN_IN_PLACE(img.noise(real0(op)))},
      {"brightness", "r", "brightness=F", "scale every channel, alpha included, by F",
       BMPFUN_IN_PLACE(img.brightness(real0(op)))},
      {"contrast", "r", "contrast=F", "interpolate from grey (123,123,123,255) towards each pixel by F",
       BMPFUN_IN_PLACE(img.contrast(real0(op)))},
      {"saturation", "r", "saturation=F", "interpolate from each pixel's luminance grey towards it by F",
       BMPFUN_IN_PLACE(img.saturation(real0(op)))},
      {"extract-channel", "i", "extract-channel=C", "keep channel C (0 r, 1 g, 2 b, 3 a), zero the others; other C: no change",
       BMPFUN_IN_PLACE(img.extractChannel(int0(op)))},
      {"quantize", "i", "quantize=N", "reduce r, g, b to N bits (1..8), alpha 255",
       BMPFUN_IN_PLACE(img.quantize(int0(op)))},
      {"random-dither", "i", "random-dither=N", "blend with random noise, then quantize to N bits",
       BMPFUN_IN_PLACE(img.randomDither(int0(op)))},
      {"ordered-dither", "i", "ordered-dither=N", "4 x 4 ordered dither to N bits",
       BMPFUN_IN_PLACE(img.orderedDither(int0(op)))},
      {"floyd-steinberg-dither", "i", "floyd-steinberg-dither=N", "error-diffusion dither to N bits",
       BMPFUN_IN_PLACE(img.FloydSteinbergDither(int0(op)))},
      {"blur", "i", "blur=N", "in-place blur with mask N (2, 3, 4, 5 or more; below 2: none)",
       BMPFUN_IN_PLACE(img.blur(int0(op)))},
      {"sharpen", "i", "sharpen=N", "in-place sharpen against the blur with mask N",
       BMPFUN_IN_PLACE(img.sharpen(int0(op)))},
      {"edge-detect", "", "edge-detect", "3 x 3 Laplacian edges, 8-bit wrap, alpha 0",
       [](const Op&, std::unique_ptr<Image>& image) {
         // Its working copy is the only thing that can fail.
         if (image->edgeDetect()) return Status{};
         Status status;  // the working copy has the image's size
         status.cause = Cause::outOfMemory;
         status.width = image->width();
         status.height = image->height();
         return status;
       }},
      {"fun", "i", "fun=E", "warp: 0 sine wave, 1 polar disc ((2h+1)^2), 2 polar mapping into the source size",
       BMPFUN_NEW_IMAGE(img.fun(int0(op), status))},
      {"mosaic", "i", "mosaic=A", "diagonal colour bands A pixels wide",
       BMPFUN_NEW_IMAGE(img.mosaic(int0(op), status))},
      {"crop", "iiii", "crop=X,Y,W,H", "the W x H rectangle at (X, Y); it must lie inside the image",
       BMPFUN_NEW_IMAGE(img.crop(op.ints.at(0), op.ints.at(1), op.ints.at(2), op.ints.at(3), status))},
      {"scale", "rr", "scale=SX,SY", "resize by the factors SX, SY through the resampler",
       BMPFUN_NEW_IMAGE(img.scale(op.reals.at(0), op.reals.at(1), status))},
      {"rotate", "r", "rotate=DEG", "turn DEG degrees counter-clockwise about pixel (0, 0), then auto-crop",
       BMPFUN_NEW_IMAGE(img.rotate(real0(op), status))},
      {"auto-crop", "", "auto-crop", "cut to the box of pixels that are not (255, 255, 255, 255)",
       BMPFUN_NEW_IMAGE(img.autoCrop(status))},
  };
  return ops;
}

#undef BMPFUN_IN_PLACE
#undef BMPFUN_NEW_IMAGE

bool parseOp(std::string_view token, Op& op, std::string& error) {
  op = Op{};
  op.token = std::string(token);
  const size_t eq = token.find('=');
  const std::string_view name = token.substr(0, eq);
  const OpInfo* info = nullptr;
  for (const auto& candidate : allOps()) {
    if (name == candidate.name) info = &candidate;
  }
  if (info == nullptr) {
    error = "unknown operation '" + std::string(name) + "' (see bmpfun --help)";
    return false;
  }
  op.info = info;
  const std::string_view kinds = info->args;
  if (kinds.empty()) {
    if (eq != std::string_view::npos) {
      error = "operation '" + std::string(name) + "' takes no argument";
      return false;
    }
    return true;
  }
  if (eq == std::string_view::npos) {
    error = "operation '" + std::string(name) + "' needs arguments: " + info->usage;
    return false;
  }
  const auto fields = splitCommas(token.substr(eq + 1));
  if (fields.size() != kinds.size()) {
    error = "'" + op.token + "': expected " + info->usage;
    return false;
  }
  for (size_t k = 0; k < kinds.size(); ++k) {
    if (kinds[k] == 'i') {
      const auto v = parseInt(fields[k]);
      if (!v) {
        error = "'" + op.token + "': '" + fields[k] + "' is not a 32-bit integer";
        return false;
      }
      op.ints.push_back(*v);
    } else {
      const auto v = parseReal(fields[k]);
      if (!v) {
        error = "'" + op.token + "': '" + fields[k] + "' is not a number";
        return false;
      }
      op.reals.push_back(*v);
    }
  }
  return true;
}

std::string failureLine(const Op& op, const Status& status, const std::string& file) {
  const std::string subject = (file.empty() ? "" : file + ": ") + op.token;
  if (status.cause == Cause::outOfMemory) return outOfMemoryLine(subject, status.width, status.height);
  // A size that cannot be made keeps the library's historic message in front.
  const bool allocation = status.cause == Cause::badSize || status.cause == Cause::tooLarge;
  return std::string(allocation ? kAllocationHead : "bmpfun") + ": " + subject + ": " + to_string(status) +
         hintText(status);
}

bool applyOp(const Op& op, std::unique_ptr<Image>& image, std::string& error, const std::string& file) {
  const Status status = op.info->run(op, image);
  if (status.ok()) return true;
  error = failureLine(op, status, file);
  return false;
}

}  // namespace bmpfun::cli
