// The web page's way into the library: plain C functions over one session (a source file,
// the image of the chain being applied to it, and the bytes or text last asked for), called
// from the page's worker through the WebAssembly module's exports.
//
// The chain is made of the same tokens as `bmpfun apply`, parsed and applied by the
// command-line program's own code, and a run starts from the source file's bytes with the
// random generator at its first draw, as a new process would: the page's pixels and files are
// the program's. Files pass through the module's in-memory file system under /tmp.
#include <bmpfun/bmp.hpp>
#include <bmpfun/image.hpp>

#include "diagnose.hpp"
#include "header_text.hpp"
#include "image/c_random.hpp"
#include "ops.hpp"
#include "testcard.hpp"

#include <emscripten/emscripten.h>

#include <cstdint>
#include <cstdio>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <vector>

namespace bmpfun::web {
namespace {

// A WebAssembly heap ends at 2 GiB, and the source, its decoded bitmap, the image being
// worked on and the new image an operation makes can all be alive at once: 2^26 pixels
// (256 MiB a grid) leaves room for that.
constexpr int64_t kPageMaxPixels = int64_t{1} << 26;

constexpr const char* kSourcePath = "/tmp/source.bmp";
constexpr const char* kResultPath = "/tmp/result.bmp";
constexpr const char* kConvertedPath = "/tmp/converted.bmp";

// Argument ranges the page offers for each operation (any value the program takes may
// still be typed in): name, then per argument label, low, high, step, starting value.
struct ArgumentRange {
  const char* label;
  double low, high, step, start;
};
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
      {"crop", {{"x", 0, 8192, 1, 0}, {"y", 0, 8192, 1, 0}, {"width", 1, 8192, 1, 160},
                {"height", 1, 8192, 1, 120}}},
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

// Every `apply` operation with its usage, help line, argument kinds and the page's ranges.
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
        out += '}';
      }
    }
    out += "]}";
  }
  out += ']';
  return out;
}

bool writeWholeFile(const char* path, const uint8_t* bytes, size_t size) {
  std::FILE* file = std::fopen(path, "wb");
  if (file == nullptr) return false;
  const bool written = size == 0 || std::fwrite(bytes, 1, size, file) == size;
  return std::fclose(file) == 0 && written;
}

bool readWholeFile(const char* path, std::vector<uint8_t>& bytes) {
  std::FILE* file = std::fopen(path, "rb");
  if (file == nullptr) return false;
  bytes.clear();
  uint8_t chunk[1 << 14];
  size_t got = 0;
  while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0) bytes.insert(bytes.end(), chunk, chunk + got);
  const bool failed = std::ferror(file) != 0;
  std::fclose(file);
  return !failed;
}

std::string withThousands(int64_t value) {
  std::string digits = std::to_string(value);
  for (size_t at = digits.size(); at > 3; at -= 3) digits.insert(at - 3, ",");
  return digits;
}

std::string pageLimitText() {
  return "this page's limit of " + withThousands(kPageMaxPixels) +
         " pixels (2^26; the command-line program reads up to 2^28 by default)";
}

// The file's rows as the header describes them, against the bytes that are there: the
// reader keeps what arrived and leaves the rest of the picture white.
std::string shortDataWarning(const BitmapFileHeader& file, const BitmapInfoHeader& info,
                             size_t fileSize) {
  const uint64_t width = static_cast<uint64_t>(info.biWidth);
  const uint64_t height = static_cast<uint64_t>(info.biHeight);
  const uint64_t stride = ((width * info.biBitCount + 31) / 32) * 4;
  if (stride == 0) return {};
  const uint64_t available = fileSize > file.bfOffBits ? fileSize - file.bfOffBits : 0;
  const uint64_t rows = available / stride;
  if (rows >= height) return {};
  return "the pixel data ends early: " + std::to_string(rows) + " of " + std::to_string(height) +
         " rows arrived (the rest of the picture stays white)";
}

}  // namespace

struct Session {
  Limits limits;
  bool hasSource = false;
  std::unique_ptr<Image> image;  // the source, or what the chain made of it so far
  std::string text;              // JSON, header text or the last failure's sentence
  std::vector<uint8_t> bytes;    // pixels or a file asked for
};

namespace {

// Open the file at kSourcePath: the header text, and on refusal the reason in text.
bool openSource(Session& s, size_t fileSize) {
  s.hasSource = false;
  s.image.reset();
  const BitmapFileHeader file = readFileHeaderOf(kSourcePath);
  const BitmapInfoHeader info = readInfoHeaderOf(kSourcePath);
  // Header text first: it is shown for refused files too.
  s.text = cli::headerText(file, info);
  auto image = Image::load(kSourcePath, s.limits);
  if (!image) {
    std::string why = cli::whyNotLoaded(kSourcePath, s.limits);
    // The program's reason names its own option when the size limit is what refused the
    // file; here the limit is the page's.
    Limits unlimited = s.limits;
    unlimited.maxPixels = INT64_MAX;
    if (why != cli::whyNotLoaded(kSourcePath, unlimited)) {
      why = std::to_string(info.biWidth) + " x " + std::to_string(info.biHeight) + " = " +
            withThousands(int64_t{info.biWidth} * info.biHeight) + " pixels passes " +
            pageLimitText();
    }
    s.text += "\n" + why;
    return false;
  }
  const std::string warning = shortDataWarning(file, info, fileSize);
  if (!warning.empty()) s.text += "\n" + warning;
  s.hasSource = true;
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
EMSCRIPTEN_KEEPALIVE const uint8_t* bfw_bytes(Session* s) { return s->bytes.data(); }
EMSCRIPTEN_KEEPALIVE size_t bfw_byte_count(Session* s) { return s->bytes.size(); }
EMSCRIPTEN_KEEPALIVE int32_t bfw_width(Session* s) { return s->image ? s->image->width() : 0; }
EMSCRIPTEN_KEEPALIVE int32_t bfw_height(Session* s) { return s->image ? s->image->height() : 0; }
EMSCRIPTEN_KEEPALIVE double bfw_max_pixels() { return static_cast<double>(bmpfun::web::kPageMaxPixels); }

// The operation list as JSON in bfw_text.
EMSCRIPTEN_KEEPALIVE int32_t bfw_operations(Session* s) {
  try {
    s->text = bmpfun::web::operationsJson();
    return 1;
  } catch (const std::bad_alloc&) {
    return 0;
  }
}

// Take size bytes as the source file. bfw_text: the header fields as `bmpfun info` prints
// them, then after an empty line the reason for a refusal or a warning about the data.
EMSCRIPTEN_KEEPALIVE int32_t bfw_open(Session* s, const uint8_t* data, size_t size) {
  try {
    if (!bmpfun::web::writeWholeFile(bmpfun::web::kSourcePath, data, size)) {
      s->text = "the page could not keep the file (out of memory)";
      return 0;
    }
    return bmpfun::web::openSource(*s, size) ? 1 : 0;
  } catch (const std::bad_alloc&) {
    s->text = "not enough memory in the page for this file";
    return 0;
  }
}

// Draw the test card (`bmpfun testcard`) as the source; bfw_bytes holds its file.
EMSCRIPTEN_KEEPALIVE int32_t bfw_testcard(Session* s, int32_t width, int32_t height) {
  try {
    bmpfun::Bitmap card;
    if (!bmpfun::cli::drawTestCard(card, width, height, s->limits)) {
      s->text = std::to_string(width) + " x " + std::to_string(height) +
                " passes the size limit or memory";
      return 0;
    }
    if (!card.saveFile(bmpfun::web::kSourcePath) ||
        !bmpfun::web::readWholeFile(bmpfun::web::kSourcePath, s->bytes)) {
      s->text = "the test card could not be written";
      return 0;
    }
    return bmpfun::web::openSource(*s, s->bytes.size()) ? 1 : 0;
  } catch (const std::bad_alloc&) {
    s->text = "not enough memory in the page for the test card";
    return 0;
  }
}

// Load the source again and put the random generator back to its first draw: the start of
// a run of the chain, as `bmpfun apply` starts.
EMSCRIPTEN_KEEPALIVE int32_t bfw_restart(Session* s) {
  s->image.reset();
  if (!s->hasSource) {
    s->text = "no picture is open";
    return 0;
  }
  bmpfun::detail::seedRuntimeRand(1);
  bmpfun::ImageStatus status = bmpfun::ImageStatus::ok;
  s->image = bmpfun::Image::load(bmpfun::web::kSourcePath, s->limits, &status);
  if (!s->image) {
    s->text = std::string("the source could not be loaded again: ") + to_string(status);
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
      if (error.find(to_string(bmpfun::ImageStatus::tooLarge)) != std::string::npos) {
        error += " (" + bmpfun::web::pageLimitText() + ")";
      }
      s->text = error;
      return 0;
    }
    return 1;
  } catch (const std::bad_alloc&) {
    s->text = std::string(token) + ": not enough memory in the page";
    return 0;
  }
}

// The image's pixels for a canvas in bfw_bytes: r, g, b, 255 row by row from the top (the
// file keeps no alpha, so neither does the picture shown).
EMSCRIPTEN_KEEPALIVE int32_t bfw_rgba(Session* s) {
  if (!s->image) {
    s->text = "no picture is open";
    return 0;
  }
  try {
    const auto& pixels = s->image->pixels();
    s->bytes.resize(pixels.size() * 4);
    uint8_t* out = s->bytes.data();
    for (const auto& p : pixels) {
      *out++ = p.r;
      *out++ = p.g;
      *out++ = p.b;
      *out++ = 255;
    }
    return 1;
  } catch (const std::bad_alloc&) {
    s->text = "not enough memory in the page to show the picture";
    return 0;
  }
}

// The image as a BMP file of bits per pixel in bfw_bytes: what `bmpfun apply` writes (24
// bits), at another depth what `bmpfun convert` makes of that file.
EMSCRIPTEN_KEEPALIVE int32_t bfw_save(Session* s, int32_t bits) {
  if (!s->image) {
    s->text = "no picture is open";
    return 0;
  }
  try {
    if (bits != 1 && bits != 4 && bits != 8 && bits != 16 && bits != 24 && bits != 32) {
      s->text = "a BMP file is written at 1, 4, 8, 16, 24 or 32 bits per pixel";
      return 0;
    }
    const char* path = bmpfun::web::kResultPath;
    bool done = s->image->writeFile(path);
    if (done && bits != 24) {
      bmpfun::Bitmap bitmap;
      done = bitmap.loadFile(path, s->limits) && bitmap.changeBitsPerPixel(bits) &&
             bitmap.saveFile(bmpfun::web::kConvertedPath);
      path = bmpfun::web::kConvertedPath;
    }
    done = done && bmpfun::web::readWholeFile(path, s->bytes);
    std::remove(bmpfun::web::kResultPath);
    std::remove(bmpfun::web::kConvertedPath);
    if (!done) {
      s->text = "the file could not be made (out of memory)";
      return 0;
    }
    return 1;
  } catch (const std::bad_alloc&) {
    s->text = "not enough memory in the page to make the file";
    return 0;
  }
}

}  // extern "C"
