#include "ops.hpp"

#include "args.hpp"

namespace bmpfun::cli {

const std::vector<OpInfo>& allOps() {
  static const std::vector<OpInfo> ops = {
      {"sampling", "i", "sampling=M", "resampling method for later warps: 0 point, 1 bilinear, 2 gaussian (others: opaque black)"},
      {"noise", "r", "noise=F", "add F times a random colour to every pixel (rand(), never seeded)"},
      {"brightness", "r", "brightness=F", "scale every channel, alpha included, by F"},
      {"contrast", "r", "contrast=F", "interpolate from grey (123,123,123,255) towards each pixel by F"},
      {"saturation", "r", "saturation=F", "interpolate from each pixel's luminance grey towards it by F"},
      {"extract-channel", "i", "extract-channel=C", "keep channel C (0 r, 1 g, 2 b, 3 a), zero the others; other C: no change"},
      {"quantize", "i", "quantize=N", "reduce r, g, b to N bits (1..8), alpha 255"},
      {"random-dither", "i", "random-dither=N", "blend with random noise, then quantize to N bits"},
      {"ordered-dither", "i", "ordered-dither=N", "4 x 4 ordered dither to N bits"},
      {"floyd-steinberg-dither", "i", "floyd-steinberg-dither=N", "error-diffusion dither to N bits"},
      {"blur", "i", "blur=N", "in-place blur with mask N (2, 3, 4, 5 or more; below 2: none)"},
      {"sharpen", "i", "sharpen=N", "in-place sharpen against the blur with mask N"},
      {"edge-detect", "", "edge-detect", "3 x 3 Laplacian edges, 8-bit wrap, alpha 0"},
      {"fun", "i", "fun=E", "warp: 0 sine wave, 1 polar disc ((2h+1)^2), 2 polar mapping into the source size"},
      {"mosaic", "i", "mosaic=A", "diagonal colour bands A pixels wide"},
      {"crop", "iiii", "crop=X,Y,W,H", "the W x H rectangle at (X, Y); it must lie inside the image"},
      {"scale", "rr", "scale=SX,SY", "resize by the factors SX, SY through the resampler"},
      {"rotate", "r", "rotate=DEG", "turn DEG degrees counter-clockwise about pixel (0, 0), then auto-crop"},
      {"auto-crop", "", "auto-crop", "cut to the box of pixels that are not (255, 255, 255, 255)"},
  };
  return ops;
}

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

namespace {

bool replaceWith(std::unique_ptr<Image> result, ImageStatus status, const Op& op,
                 std::unique_ptr<Image>& image, std::string& error) {
  if (!result) {
    if (status == ImageStatus::noSuchEffect) {
      error = "bmpfun: " + op.token + ": " + to_string(status);
    } else {
      error = std::string("Error allocating image.: ") + op.token + ": " + to_string(status);
    }
    return false;
  }
  image = std::move(result);
  return true;
}

}  // namespace

bool applyOp(const Op& op, std::unique_ptr<Image>& image, std::string& error) {
  Image& img = *image;
  const std::string_view name = op.info->name;
  const auto i0 = op.ints.empty() ? 0 : op.ints[0];
  const auto r0 = op.reals.empty() ? 0.0 : op.reals[0];
  ImageStatus status = ImageStatus::ok;

  if (name == "sampling") img.sampling(i0);
  else if (name == "noise") img.noise(r0);
  else if (name == "brightness") img.brightness(r0);
  else if (name == "contrast") img.contrast(r0);
  else if (name == "saturation") img.saturation(r0);
  else if (name == "extract-channel") img.extractChannel(i0);
  else if (name == "quantize") img.quantize(i0);
  else if (name == "random-dither") img.randomDither(i0);
  else if (name == "ordered-dither") img.orderedDither(i0);
  else if (name == "floyd-steinberg-dither") img.FloydSteinbergDither(i0);
  else if (name == "blur") img.blur(i0);
  else if (name == "sharpen") img.sharpen(i0);
  else if (name == "edge-detect") {
    if (!img.edgeDetect()) {
      error = "Error allocating image.: edge-detect: no memory for the working image";
      return false;
    }
  } else if (name == "fun") return replaceWith(img.fun(i0, &status), status, op, image, error);
  else if (name == "mosaic") return replaceWith(img.mosaic(i0, &status), status, op, image, error);
  else if (name == "crop") {
    return replaceWith(img.crop(op.ints[0], op.ints[1], op.ints[2], op.ints[3], &status), status, op,
                       image, error);
  } else if (name == "scale") {
    return replaceWith(img.scale(op.reals[0], op.reals[1], &status), status, op, image, error);
  } else if (name == "rotate") return replaceWith(img.rotate(r0, &status), status, op, image, error);
  else if (name == "auto-crop") return replaceWith(img.autoCrop(&status), status, op, image, error);
  return true;
}

}  // namespace bmpfun::cli
