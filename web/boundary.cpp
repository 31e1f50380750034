// The web page's way into the library: plain C functions over one session (a source file,
// the image of the chain being applied to it, and the bytes or text last asked for), called
// from the page's worker through the WebAssembly module's exports.
//
// The chain is made of the same tokens as `bmpfun apply`, parsed and applied through the
// library's operation registry, as the program does, and a run starts from the source file's bytes with the
// random generator at its first draw, as a new process would: the page's pixels and files are
// the program's. Files are read and written in memory; the module has no file system.
#include <bmpfun/bmp.hpp>
#include <bmpfun/image.hpp>
#include <bmpfun/operations.hpp>
#include <bmpfun/testcard.hpp>


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

// The measure of the picture a step receives that an argument's range follows, by name.
const char* extentName(Argument::Extent extent) {
  switch (extent) {
    case Argument::Extent::column: return "x";
    case Argument::Extent::row: return "y";
    case Argument::Extent::width: return "width";
    case Argument::Extent::height: return "height";
    case Argument::Extent::none: break;
  }
  return nullptr;
}

// Every operation of the library's registry with its usage, summary, argument kinds and the
// ranges a form offers ("image": the argument is that measure of the image the step
// receives, which then gives its range and starting value).
std::string operationsJson() {
  std::string out = "[";
  for (const Operation& op : operations()) {
    if (out.size() > 1) out += ',';
    out += "{\"name\":";
    appendJsonString(out, op.name);
    std::string kinds;
    for (const Argument& a : op.arguments) kinds += a.type == Argument::Type::integer ? 'i' : 'r';
    out += ",\"kinds\":";
    appendJsonString(out, kinds);
    out += ",\"usage\":";
    appendJsonString(out, op.usage());
    out += ",\"help\":";
    appendJsonString(out, op.summary);
    out += ",\"makesNewImage\":";
    out += op.makesNewImage() ? "true" : "false";
    out += ",\"arguments\":[";
    bool first = true;
    for (const Argument& a : op.arguments) {
      if (!first) out += ',';
      first = false;
      out += "{\"name\":";
      appendJsonString(out, a.name);
      out += ",\"label\":";
      appendJsonString(out, a.label);
      for (const auto& [key, value] : {std::pair{"low", a.low}, std::pair{"high", a.high},
                                       std::pair{"step", a.step}, std::pair{"start", a.start}}) {
        out += ",\"";
        out += key;
        out += "\":";
        appendJsonNumber(out, value);
      }
      if (const char* measure = extentName(a.extent)) {
        out += ",\"image\":";
        appendJsonString(out, measure);
      }
      out += '}';
    }
    out += "],\"values\":[";
    first = true;
    for (const NamedValue& v : op.values) {
      if (!first) out += ',';
      first = false;
      out += "{\"value\":";
      appendJsonNumber(out, v.value);
      out += ",\"name\":";
      appendJsonString(out, v.name);
      out += '}';
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

// The page's limit is fixed, so a size past it is told what the limit is.
std::string pageLimitHint() {
  return " (this page's limit: " + withThousands(kPageMaxPixels) +
         " pixels, 2^26; the command-line program takes up to 2^28 by default)";
}

// The option that would help, in the page's words: its switch, its fixed limit.
std::string hintText(const Status& status) {
  switch (status.hint()) {
    case Hint::none:
    case Hint::otherFolder: break;  // the page writes no file
    case Hint::extendedReader: return " (turn on the extended reader to read it)";
    case Hint::largerLimit: return pageLimitHint();
  }
  return {};
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
// --extended: the library's fields of either reading (see describeHeaders), one "name: value"
// line each after a "header: KIND" line when the reading names the kind. Nothing when the
// headers cannot be described (the refusal says why), and so nothing for a file that does not
// start with "BM": read as a BMP file's headers its bytes are no fields at all.
std::string headerTextOf(const Session& s, std::span<const uint8_t> file) {
  BmpHeaderView view;
  if (!describeHeaders(file, view, nullptr, s.limits.extended ? HeaderReading::extended : HeaderReading::byDefault)) {
    return {};
  }
  std::string text = view.kind.empty() ? "" : "header: " + view.kind + "\n";
  for (const BmpField& field : view.fields) text += field.name + ": " + field.value + "\n";
  return text;
}

// Why a file was refused, in the library's words, with the page's own limit and switch.
std::string refusalText(const Status& status) { return to_string(status) + hintText(status); }

// Take file as the source: the header text in s.header, the reason for a refusal or the
// reader's warnings in s.text. The two stay apart, as either may be empty.
bool openSource(Session& s, std::vector<uint8_t> file) {
  s.source.clear();
  s.image.reset();
  s.extendedReads = false;
  s.text.clear();
  s.header = headerTextOf(s, file);
  Status status;
  s.image = Image::loadMemory(file, s.limits, &status);
  if (!s.image) {
    s.text = refusalText(status);
    s.extendedReads = status.hint() == Hint::extendedReader;
    return false;
  }
  if (status.hasWarnings()) s.text = warningText(status);
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
    if (!bmpfun::drawTestCard(card, width, height, s->limits)) {
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
  bmpfun::Status status;
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
    bmpfun::Step step;
    std::string error;
    if (!bmpfun::parseStep(token, step, error)) {
      s->text = error;
      return 0;
    }
    const bmpfun::Status status = bmpfun::applyStep(step, s->image);
    if (!status.ok()) {
      s->text = step.token + ": " + bmpfun::web::refusalText(status);
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
    bmpfun::Status status;
    if (!s->image->saveMemory(s->bytes, &status)) {
      s->text = "the file could not be made: " + to_string(status);
      return 0;
    }
    if (bits == 24) return 1;
    bmpfun::SaveOptions options;
    options.alphaMasks = alpha_masks != 0;
    bmpfun::Bitmap bitmap;
    bmpfun::Status codec;
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
