// The registry of image operations: each entry's arguments, words and call. The command line,
// the Python module, the web page and docs/operations.md are made from this table.
#include <bmpfun/operations.hpp>

#include <algorithm>
#include <array>
#include <cmath>

namespace bmpfun {

namespace {

using Type = Argument::Type;
using Extent = Argument::Extent;

constexpr Type kInt = Type::integer;
constexpr Type kReal = Type::real;

// Integer arguments arrive as exact values of 32 bits (parseStep makes sure of it).
int32_t integer(std::span<const double> a, size_t k) { return static_cast<int32_t>(a[k]); }

Status ok() { return {}; }

// ---------------------------------------------------------------- arguments

constexpr Argument kMethod[] = {{"method", "M", "method", kInt, 0, 2, 1, 1}};
constexpr Argument kNoiseFactor[] = {{"factor", "F", "factor", kReal, 0, 2, 0.05, 0.5}};
constexpr Argument kBrightness[] = {{"factor", "F", "factor", kReal, 0, 3, 0.05, 1.25}};
constexpr Argument kMixFactor[] = {{"factor", "F", "factor", kReal, -1, 3, 0.05, 1.5}};
constexpr Argument kChannel[] = {{"channel", "C", "channel", kInt, 0, 3, 1, 0}};
constexpr Argument kQuantizeBits[] = {{"nbits", "N", "bits", kInt, 1, 8, 1, 3}};
constexpr Argument kDitherBits[] = {{"nbits", "N", "bits", kInt, 1, 8, 1, 1}};
constexpr Argument kMask[] = {{"mask_size", "N", "mask", kInt, 1, 5, 1, 3}};
constexpr Argument kEffect[] = {{"effect", "E", "effect", kInt, 0, 2, 1, 1}};
constexpr Argument kBand[] = {{"band_width", "A", "band width", kInt, 1, 256, 1, 24}};
constexpr Argument kRectangle[] = {
    {"x", "X", "x", kInt, 0, 8191, 1, 0, Extent::column},
    {"y", "Y", "y", kInt, 0, 8191, 1, 0, Extent::row},
    {"width", "W", "width", kInt, 1, 8192, 1, 160, Extent::width},
    {"height", "H", "height", kInt, 1, 8192, 1, 120, Extent::height},
};
constexpr Argument kFactors[] = {{"sx", "SX", "x factor", kReal, 0.05, 4, 0.05, 0.5},
                                 {"sy", "SY", "y factor", kReal, 0.05, 4, 0.05, 0.5}};
constexpr Argument kDegrees[] = {{"degrees", "DEG", "degrees", kReal, -360, 360, 1, 30}};

constexpr NamedValue kSamplingNames[] = {{0, "point"}, {1, "bilinear"}, {2, "gaussian"}};
constexpr NamedValue kEffectNames[] = {{0, "sine wave"}, {1, "polar disc"}, {2, "polar mapping"}};
constexpr NamedValue kChannelNames[] = {{0, "red"}, {1, "green"}, {2, "blue"}, {3, "alpha"}};

// ---------------------------------------------------------------- arguments no picture takes

Status noSuchEffect(std::span<const double> a) {
  Status s;
  if (integer(a, 0) < 0 || integer(a, 0) > 2) {
    s.cause = Cause::noSuchEffect;
    s.effect = integer(a, 0);
  }
  return s;
}

// A side below 1 makes no picture; a corner left of or above the picture is outside every one.
Status emptyOrOutsideRectangle(std::span<const double> a) {
  Status s;
  if (integer(a, 2) < 1 || integer(a, 3) < 1) {
    s.cause = Cause::badSize;
    s.width = integer(a, 2);
    s.height = integer(a, 3);
  } else if (integer(a, 0) < 0 || integer(a, 1) < 0) {
    s.cause = Cause::outsideSource;  // no picture size: the corner is outside them all
  }
  return s;
}

// A factor that is not above 0 (NaN included) leaves no column or no row of any picture, and
// an infinite one no size at all.
Status factorLeavesNothing(std::span<const double> a) {
  const auto usable = [](double f) { return f > 0.0 && !std::isinf(f); };
  Status s;
  if (!usable(a[0]) || !usable(a[1])) {
    s.cause = Cause::badSize;
    s.width = usable(a[0]) ? 1 : 0;
    s.height = usable(a[1]) ? 1 : 0;
  }
  return s;
}

// ---------------------------------------------------------------- the table

const Operation kOperations[] = {
    {"sampling",
     "resampling method of the later warps, scale and rotate: 0 point, 1 bilinear, 2 gaussian 5 x 5 (any other reads "
     "opaque black)",
     kMethod, kSamplingNames, false, false,
     [](Image& image, std::span<const double> a) {
       image.sampling(integer(a, 0));
       return ok();
     },
     nullptr,
     nullptr},
    {"noise",
     "add F times a random colour: c' = min(c + clamp(floor(n F + 0.5)), 255) per channel, alpha included, n = rand() "
     "mod 256 drawn column by column (never seeded)",
     kNoiseFactor, {}, false, true,
     [](Image& image, std::span<const double> a) {
       image.noise(a[0]);
       return ok();
     },
     nullptr,
     nullptr},
    {"brightness", "scale every channel, alpha included: c' = clamp(floor(c F + 0.5))", kBrightness, {}, true,
     false,
     [](Image& image, std::span<const double> a) {
       image.brightness(a[0]);
       return ok();
     },
     nullptr,
     nullptr},
    {"contrast",
     "move away from grey (123, 123, 123, 255): c' = clamp(floor((1 - F) 123 + c F + 0.5)), alpha the same from 255",
     kMixFactor, {}, true, false,
     [](Image& image, std::span<const double> a) {
       image.contrast(a[0]);
       return ok();
     },
     nullptr,
     nullptr},
    {"saturation",
     "move away from the pixel's grey l = (76 r + 150 g + 29 b) >> 8: c' = clamp(floor((1 - F) l + c F + 0.5)) for r, "
     "g, b; alpha kept",
     kMixFactor, {}, true, false,
     [](Image& image, std::span<const double> a) {
       image.saturation(a[0]);
       return ok();
     },
     nullptr,
     nullptr},
    {"extract-channel", "keep channel C (0 r, 1 g, 2 b, 3 a) and set the other three to 0; any other C changes nothing",
     kChannel, kChannelNames, true, false,
     [](Image& image, std::span<const double> a) {
       image.extractChannel(integer(a, 0));
       return ok();
     },
     nullptr,
     nullptr},
    {"quantize", "reduce r, g, b to N bits each (N clamped into 1..8; single-precision levels, truncated); alpha 255",
     kQuantizeBits, {}, true, false,
     [](Image& image, std::span<const double> a) {
       image.quantize(integer(a, 0));
       return ok();
     },
     nullptr,
     nullptr},
    {"random-dither",
     "blend each channel half and half with random noise (round(c / 2) + round(n / 2), saturating), then quantize to "
     "N bits (1..8); alpha 255; draws rand() column by column",
     kDitherBits, {}, false, true,
     [](Image& image, std::span<const double> a) {
       image.randomDither(integer(a, 0));
       return ok();
     },
     nullptr,
     nullptr},
    {"ordered-dither",
     "4 x 4 ordered dither to N bits per channel (1..8): a channel more than its threshold above its level takes the "
     "next level up; alpha kept",
     kDitherBits, {}, true, false,
     [](Image& image, std::span<const double> a) {
       image.orderedDither(integer(a, 0));
       return ok();
     },
     nullptr,
     nullptr},
    {"floyd-steinberg-dither",
     "error-diffusion dither to N bits per channel (1..8), row by row: each pixel's error (clamped at 0) goes 7/16 "
     "right, 3/16 below left, 5/16 below, 1/16 below right; alpha 255",
     kDitherBits, {}, false, false,
     [](Image& image, std::span<const double> a) {
       image.FloydSteinbergDither(integer(a, 0));
       return ok();
     },
     nullptr,
     nullptr},
    {"blur",
     "blur in place with mask N: 2 a 2 x 2 box, 3 a 3 x 3 binomial, 4 a 4 x 4 weighted box, 5 or more the 5 x 5 "
     "binomial, below 2 none; column by column, each pixel reading its blurred neighbours; opaque",
     kMask, {}, false, false,
     [](Image& image, std::span<const double> a) {
       image.blur(integer(a, 0));
       return ok();
     },
     nullptr,
     nullptr},
    {"sharpen",
     "sharpen in place against the blur with mask N: c' = clamp(floor(1.5 c - 0.5 b + 0.5)) per channel, b the blurred "
     "value (alpha 255); below 2 none",
     kMask, {}, false, false,
     [](Image& image, std::span<const double> a) {
       image.sharpen(integer(a, 0));
       return ok();
     },
     nullptr,
     nullptr},
    {"edge-detect",
     "3 x 3 Laplacian (8 x the centre - its 8 neighbours) per colour channel, kept to its low 8 bits; border pixels "
     "black; alpha 0",
     {}, {}, true, false,
     [](Image& image, std::span<const double>) {
       Status s;
       if (!image.edgeDetect()) {  // its working copy has the image's size
         s.cause = Cause::outOfMemory;
         s.width = image.width();
         s.height = image.height();
       }
       return s;
     },
     nullptr,
     nullptr},
    {"fun",
     "warp into a new image, each pixel one sample of this one: 0 sine wave (w x h, column i lifted by (h / 2) sin(2 i "
     "pi / w)), 1 polar disc ((2h + 1)^2, row r on the circle of radius r), 2 the disc counted into w x h; pi = 3.141592",
     kEffect, kEffectNames, true, false,
     nullptr,
     [](const Image& im, std::span<const double> a, Status* s) { return im.fun(integer(a, 0), s); },
     noSuchEffect},
    {"mosaic",
     "diagonal cells A pixels across, each keeping one or two colour channels, alpha 0; cells past (2 w) / A stay white; "
     "A of 0 or less gives a blank image",
     kBand, {}, true, false,
     nullptr,
     [](const Image& im, std::span<const double> a, Status* s) { return im.mosaic(integer(a, 0), s); },
     nullptr},
    {"crop", "the W x H rectangle whose top-left pixel is (X, Y); it must lie inside the image", kRectangle, {}, true, false,
     nullptr,
     [](const Image& im, std::span<const double> a, Status* s) {
       return im.crop(integer(a, 0), integer(a, 1), integer(a, 2), integer(a, 3), s);
     },
     emptyOrOutsideRectangle},
    {"scale",
     "resize to (int)(w SX) x (int)(h SY) through the resampler: pixel (i, j) samples (i / SX, j (1 / SY))", kFactors,
     {}, true, false,
     nullptr,
     [](const Image& im, std::span<const double> a, Status* s) { return im.scale(a[0], a[1], s); },
     factorLeavesNothing},
    {"rotate",
     "turn DEG degrees counter-clockwise about pixel (0, 0) (DEG x 3.141592 / 180 radians), sampled into a (2d + 1)^2 "
     "square, d the truncated diagonal, then auto-crop",
     kDegrees, {}, true, false,
     nullptr,
     [](const Image& im, std::span<const double> a, Status* s) { return im.rotate(a[0], s); },
     nullptr},
    {"auto-crop", "cut to the box of the pixels other than (255, 255, 255, 255)", {}, {}, true, false,
     nullptr,
     [](const Image& im, std::span<const double>, Status* s) { return im.autoCrop(s); },
     nullptr},
};

}  // namespace

Status Operation::run(std::unique_ptr<Image>& image, std::span<const double> given) const {
  if (inPlace != nullptr) return inPlace(*image, given);
  Status status;
  std::unique_ptr<Image> made = make(*image, given, &status);
  if (!made) {
    if (status.ok()) status.cause = Cause::outOfMemory;
    return status;
  }
  image = std::move(made);
  return status;
}

std::string Operation::usage() const {
  std::string text = name;
  for (size_t k = 0; k < arguments.size(); ++k) {
    text += k == 0 ? "=" : ",";
    text += arguments[k].placeholder;
  }
  return text;
}

std::span<const Operation> operations() { return kOperations; }

const Operation* findOperation(std::string_view name) {
  for (const Operation& op : kOperations) {
    if (name == op.name) return &op;
  }
  return nullptr;
}

std::span<const NamedValue> samplingMethods() { return kSamplingNames; }
std::span<const NamedValue> effects() { return kEffectNames; }

}  // namespace bmpfun
