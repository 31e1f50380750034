// The web page's way into the library: plain C functions over one session (a source file,
// the image of the chain being applied to it, and the bytes or text last asked for), called
// from the page's worker through the WebAssembly module's exports.
//
// The chain is made of the same tokens as `bmpfun apply`, parsed and applied by the
// command-line program's own code, and a run starts from the source file's bytes with the
// random generator at its first draw, as a new process would: the page's pixels and files are
// the program's. Files are read and written in memory; the module has no file system.
#include <bmpfun/bmp.hpp>
#include <bmpfun/image.hpp>

#include "header_text.hpp"
#include "ops.hpp"
#include "testcard.hpp"

#include <emscripten/emscripten.h>

#include <cstdint>
#include <cstdio>
#include <memory>
#include <new>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace bmpfun::web {
namespace {

// A WebAssembly heap ends at 2 GiB, and the source file, the image being worked on, the new
// image an operation makes and the pixels handed to the canvas can all be alive at once:
// 2^26 pixels (256 MiB a grid) leaves room for that.
constexpr int64_t kPageMaxPixels = int64_t{1} << 26;

// Argument ranges the page offers for each operation (any value the program takes may
// still be typed in): name, then per argument label, low, high, step, starting value, and
// for a position or size in the image the step receives, which one: the page then takes the
// range and the starting value from that image (low, high and start are for when no image
// is known).
enum class ImageMeasure { none, x, y, width, height };
struct ArgumentRange {
  const char* label;
  double low, high, step, start;
  ImageMeasure measure = ImageMeasure::none;
};

const char* measureName(ImageMeasure measure) {
  switch (measure) {
    case ImageMeasure::x: return "x";
    case ImageMeasure::y: return "y";
    case ImageMeasure::width: return "width";
    case ImageMeasure::height: return "height";
    case ImageMeasure::none: break;
  }
  return nullptr;
}
struct OperationRanges {
  const char* name;
  std::vector<ArgumentRange> arguments;
};

const std::vector<OperationRanges>& operationRanges() {
  static const std::vector<OperationRanges> ranges = {
      {"sampling", {{"method", 0, 2, 1, 1}}},
      {"noise", {{"factor", 0, 2, 0.05, 0.5}}},
      {"brightness", {{"factor", 0, 3, 0.05, 1.25}}},
      {"contrast", {{"factor", -1, 3, 0.05, 1.5}}},
      {"saturation", {{"factor", -1, 3, 0.05, 1.5}}},
      {"extract-channel", {{"channel", 0, 3, 1, 0}}},
      {"quantize", {{"bits", 1, 8, 1, 3}}},
      {"random-dither", {{"bits", 1, 8, 1, 1}}},
      {"ordered-dither", {{"bits", 1, 8, 1, 1}}},
      {"floyd-steinberg-dither", {{"bits", 1, 8, 1, 1}}},
      {"blur", {{"mask", 1, 5, 1, 3}}},
      {"sharpen", {{"mask", 1, 5, 1, 3}}},
      {"edge-detect", {}},
      {"fun", {{"effect", 0, 2, 1, 1}}},
      {"mosaic", {{"band width", 1, 256, 1, 24}}},
      {"crop", {{"x", 0, 8192, 1, 0, ImageMeasure::x}, {"y", 0, 8192, 1, 0, ImageMeasure::y},
                {"width", 1, 8192, 1, 160, ImageMeasure::width},
                {"height", 1, 8192, 1, 120, ImageMeasure::height}}},
      {"scale", {{"x factor", 0.05, 4, 0.05, 0.5}, {"y factor", 0.05, 4, 0.05, 0.5}}},
      {"rotate", {{"degrees", -360, 360, 1, 30}}},
      {"auto-crop", {}},
  };
  return ranges;
}

void appendJsonString(std::string& out, std::string_view text) {
  out += '"';
  for (const char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (static_cast<unsigned char>(c) < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(c));
      out += escaped;
    } else {
      out += c;
    }
  }
  out += '"';
}

void appendJsonNumber(std::string& out, double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.17g", value);
  out += text;
}

// Every `apply` operation with its usage, help line, argument kinds and the page's ranges
// ("image": the argument is that measure of the image the step receives).
std::string operationsJson() {
  std::string out = "[";
  for (const auto& op : cli::allOps()) {
    if (out.size() > 1) out += ',';
    out += "{\"name\":";
    appendJsonString(out, op.name);
    out += ",\"kinds\":";
    appendJsonString(out, op.args);
    out += ",\"usage\":";
    appendJsonString(out, op.usage);
    out += ",\"help\":";
    appendJsonString(out, op.help);
    out += ",\"arguments\":[";
    for (const auto& entry : operationRanges()) {
      if (std::string_view(entry.name) != op.name) continue;
      bool first = true;
      for (const auto& a : entry.arguments) {
        if (!first) out += ',';
        first = false;
        out += "{\"label\":";
        appendJsonString(out, a.label);
        for (const auto& [key, value] : {std::pair{"low", a.low}, std::pair{"high", a.high},
                                         std::pair{"step", a.step}, std::pair{"start", a.start}}) {
          out += ",\"";
          out += key;
          out += "\":";
          appendJsonNumber(out, value);
        }
        if (const char* measure = measureName(a.measure)) {
          out += ",\"image\":";
          appendJsonString(out, measure);
        }
        out += '}';
      }
    }
    out += "]}";
  }
  out += ']';
  return out;
}

std::string withThousands(int64_t value) {
  std::string digits = std::to_string(value);
  for (size_t at = digits.size(); at > 3; at -= 3) digits.insert(at - 3, ",");
  return digits;
}

// What the program says after a size that passes its limit, and what the page says instead.
constexpr std::string_view kProgramLimitHint = " (see --max-pixels)";
std::string pageLimitHint() {
  return " (this page's limit: " + withThousands(kPageMaxPixels) +
         " pixels, 2^26; the command-line program takes up to 2^28 by default)";
}

// The program's line for a size past the limit points at its option; the page's limit is
// fixed, so the line says so instead.
std::string withPageLimit(std::string line) {
  if (!line.ends_with(kProgramLimitHint)) return line;
  line.resize(line.size() - kProgramLimitHint.size());
  return line + pageLimitHint();
}

}  // namespace

struct Session {
  Limits limits;                 // extended: the page's "Extended reader" switch
  bool extendedReads = false;    // the last file opened was refused, and the extended reader reads it
  std::vector<uint8_t> source;   // the source file's bytes; empty when none is open
  std::unique_ptr<Image> image;  // the source, or what the chain made of it so far
  std::string header;            // the header text of the last file opened
  std::string text;              // JSON, a refusal's or a warning's words, or the last failure's
  std::vector<uint8_t> bytes;    // pixels or a file asked for
};

namespace {

// The header text as `bmpfun info` prints it, with the page's switch standing for
// --extended: the header's kind and its own fields when the switch is on (nothing when the
// headers cannot be described: the refusal says why) or the header is an OS/2 one shorter
// than 40 bytes, the 16 fields of the 40-byte layout otherwise. Nothing for a file that does
// not start with "BM": read as a BMP file's headers its bytes are no fields at all (and an
// empty file would show the records' starting values).
std::string headerTextOf(const Session& s, std::span<const uint8_t> file) {
  if (file.size() < 2 || file[0] != 'B' || file[1] != 'M') return {};
  const BmpHeaders headers = readHeadersOf(file);
  if (!s.limits.extended && !cli::showsOwnFields(headers)) return cli::headerText(headers.file, headers.info);
  BmpHeaderView view;
  return describeHeaders(file, view) ? cli::headerViewText(view) : std::string();
}

// Why a file was refused, as the program says it, but with the page's own limit and switch.
std::string refusalText(const ImageStatus& status) {
  if (status != ImageStatus::loadFailed) return to_string(status);
  const BmpStatus& codec = status.codec();
  std::string reason = to_string(codec);
  if (codec.cause == BmpCause::tooLarge) reason += pageLimitHint();
  if (codec.extendedReads) reason += " (turn on the extended reader to read it)";
  return reason;
}

// Take file as the source: the header text in s.header, the reason for a refusal or the
// reader's warnings in s.text. The two stay apart, as either may be empty.
bool openSource(Session& s, std::vector<uint8_t> file) {
  s.source.clear();
  s.image.reset();
  s.extendedReads = false;
  s.text.clear();
  s.header = headerTextOf(s, file);
  ImageStatus status;
  s.image = Image::loadMemory(file, s.limits, &status);
  const BmpStatus& codec = status.codec();
  if (!s.image) {
    s.text = refusalText(status);
    s.extendedReads = status == ImageStatus::loadFailed && codec.extendedReads;
    return false;
  }
  if (codec.hasWarnings()) s.text = warningText(codec);
  s.source = std::move(file);
  return true;
}

}  // namespace
}  // namespace bmpfun::web

using bmpfun::web::Session;

// Results are 1 for done and 0 for refused (the reason in bfw_text). Pointers into the
// session stay valid until the next call on it.
extern "C" {

EMSCRIPTEN_KEEPALIVE Session* bfw_create() {
  auto session = std::make_unique<Session>();
  session->limits.maxPixels = bmpfun::web::kPageMaxPixels;
  return session.release();  // owned by the page until bfw_destroy
}

EMSCRIPTEN_KEEPALIVE void bfw_destroy(Session* s) { std::unique_ptr<Session> owned(s); }

EMSCRIPTEN_KEEPALIVE const char* bfw_text(Session* s) { return s->text.c_str(); }
// The header text of the file last opened or drawn (empty when there is none to show).
EMSCRIPTEN_KEEPALIVE const char* bfw_header(Session* s) { return s->header.c_str(); }
EMSCRIPTEN_KEEPALIVE const uint8_t* bfw_bytes(Session* s) { return s->bytes.data(); }
EMSCRIPTEN_KEEPALIVE size_t bfw_byte_count(Session* s) { return s->bytes.size(); }
EMSCRIPTEN_KEEPALIVE int32_t bfw_width(Session* s) { return s->image ? s->image->width() : 0; }
EMSCRIPTEN_KEEPALIVE int32_t bfw_height(Session* s) { return s->image ? s->image->height() : 0; }
EMSCRIPTEN_KEEPALIVE double bfw_max_pixels() { return static_cast<double>(bmpfun::web::kPageMaxPixels); }

// The "Extended reader" switch (--extended): files opened from now on are read with the
// extended reader when on. Off at the start, as in the program.
EMSCRIPTEN_KEEPALIVE void bfw_set_extended(Session* s, int32_t on) { s->limits.extended = on != 0; }
// 1 when the last file opened was refused and the extended reader would read it.
EMSCRIPTEN_KEEPALIVE int32_t bfw_extended_reads(Session* s) { return s->extendedReads ? 1 : 0; }

// The operation list as JSON in bfw_text.
EMSCRIPTEN_KEEPALIVE int32_t bfw_operations(Session* s) {
  try {
    s->text = bmpfun::web::operationsJson();
    return 1;
  } catch (const std::bad_alloc&) {
    return 0;
  }
}

// Take size bytes as the source file. bfw_header: the header fields as `bmpfun info` prints
// them; bfw_text: the reason for a refusal or the reader's warnings.
EMSCRIPTEN_KEEPALIVE int32_t bfw_open(Session* s, const uint8_t* data, size_t size) {
  try {
    return bmpfun::web::openSource(*s, std::vector<uint8_t>(data, data + size)) ? 1 : 0;
  } catch (const std::bad_alloc&) {
    s->header.clear();
    s->text = "not enough memory in the page for this file";
    return 0;
  }
}

// Draw the test card (`bmpfun testcard`) as the source; bfw_bytes holds its file.
EMSCRIPTEN_KEEPALIVE int32_t bfw_testcard(Session* s, int32_t width, int32_t height) {
  s->header.clear();
  try {
    bmpfun::Bitmap card;
    if (!bmpfun::cli::drawTestCard(card, width, height, s->limits)) {
      s->text = std::to_string(width) + " x " + std::to_string(height) +
                " passes the size limit or memory" + bmpfun::web::pageLimitHint();
      return 0;
    }
    if (!card.saveMemory(s->bytes)) {
      s->text = "not enough memory in the page for the test card";
      return 0;
    }
    return bmpfun::web::openSource(*s, s->bytes) ? 1 : 0;
  } catch (const std::bad_alloc&) {
    s->text = "not enough memory in the page for the test card";
    return 0;
  }
}

// Load the source again and put the random generator back to its first draw: the start of
// a run of the chain, as `bmpfun apply` starts.
EMSCRIPTEN_KEEPALIVE int32_t bfw_restart(Session* s) {
  s->image.reset();
  if (s->source.empty()) {
    s->text = "no picture is open";
    return 0;
  }
  bmpfun::restartRandomSequence();
  bmpfun::ImageStatus status;
  s->image = bmpfun::Image::loadMemory(s->source, s->limits, &status);
  if (!s->image) {
    s->text = "the source could not be loaded again: " + to_string(status);
    return 0;
  }
  return 1;
}

// Apply one `bmpfun apply` token (e.g. "fun=1") to the image.
EMSCRIPTEN_KEEPALIVE int32_t bfw_apply(Session* s, const char* token) {
  if (!s->image) {
    s->text = "no picture is open";
    return 0;
  }
  try {
    bmpfun::cli::Op op;
    std::string error;
    if (!bmpfun::cli::parseOp(token, op, error) || !bmpfun::cli::applyOp(op, s->image, error)) {
      s->text = bmpfun::web::withPageLimit(std::move(error));
      return 0;
    }
    return 1;
  } catch (const std::bad_alloc&) {
    s->text = std::string(token) + ": not enough memory in the page";
    return 0;
  }
}

// The image's pixels for a canvas in bfw_bytes: r, g, b, a row by row from the top. Alpha is
// 255 unless with_alpha asks for the image's own: the files the page writes have 24 bits, and
// only the extended reader reads alpha as opacity (the default reader keeps a 32-bit file's
// fourth byte, whatever it meant).
EMSCRIPTEN_KEEPALIVE int32_t bfw_rgba(Session* s, int32_t with_alpha) {
  if (!s->image) {
    s->text = "no picture is open";
    return 0;
  }
  try {
    const auto pixels = s->image->pixels();
    s->bytes.resize(pixels.size() * 4);
    uint8_t* out = s->bytes.data();
    for (const auto& p : pixels) {
      *out++ = p.r;
      *out++ = p.g;
      *out++ = p.b;
      *out++ = with_alpha != 0 ? p.a : 255;
    }
    return 1;
  } catch (const std::bad_alloc&) {
    s->text = "not enough memory in the page to show the picture";
    return 0;
  }
}

// The image as a BMP file of bits per pixel in bfw_bytes: what `bmpfun apply` writes (24
// bits), at another depth what `bmpfun convert` makes of that file (alpha_masks: convert's
// 32a, a V5 header with an alpha mask). Both read with the reader the switch chose, so a
// 32-bit file's alpha is 255 with the extended reader and 0 with the default one, as in the
// program.
EMSCRIPTEN_KEEPALIVE int32_t bfw_save(Session* s, int32_t bits, int32_t alpha_masks) {
  if (!s->image) {
    s->text = "no picture is open";
    return 0;
  }
  if ((bits != 1 && bits != 4 && bits != 8 && bits != 16 && bits != 24 && bits != 32) ||
      (alpha_masks != 0 && bits != 32)) {
    s->text = "a BMP file is written at 1, 4, 8, 16, 24, 32 or 32a bits per pixel";
    return 0;
  }
  try {
    bmpfun::ImageStatus status;
    if (!s->image->saveMemory(s->bytes, &status)) {
      s->text = "the file could not be made: " + to_string(status);
      return 0;
    }
    if (bits == 24) return 1;
    bmpfun::SaveOptions options;
    options.alphaMasks = alpha_masks != 0;
    bmpfun::Bitmap bitmap;
    bmpfun::BmpStatus codec;
    if (!bitmap.loadMemory(s->bytes, s->limits, &codec) || !bitmap.changeBitsPerPixel(bits) ||
        !bitmap.saveMemory(s->bytes, options, &codec)) {
      s->text = "the file could not be made: " + to_string(codec);
      return 0;
    }
    return 1;
  } catch (const std::bad_alloc&) {
    s->text = "not enough memory in the page to make the file";
    return 0;
  }
}

}  // extern "C"
