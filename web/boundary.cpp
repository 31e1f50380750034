// The JavaScript package's way into the library: plain C functions over image handles, called
// through the WebAssembly module's exports by web/package/index.js (which the web page uses
// too). Several images may be alive at once; each is released by bfw_free.
//
// Chains are made of the same tokens as `bmpfun apply`, parsed and applied through the
// library's operation registry, as the program does. Files are read and written in memory;
// the module has no file system. A call that fails returns 0 (or a null handle) and leaves
// why in bfw_error: the status's cause by name, the library's sentence, the option that would
// help, and the step that failed.
#include <bmpfun/bmp.hpp>
#include <bmpfun/image.hpp>
#include <bmpfun/operations.hpp>
#include <bmpfun/pixel.hpp>
#include <bmpfun/testcard.hpp>

#include <emscripten/emscripten.h>
#include <malloc.h>

#include <cstdint>
#include <cstdio>
#include <memory>
#include <new>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace bmpfun::web {

// One image the JavaScript side holds. The image inside may be replaced (a chain applied in
// place), so the handle, not the image, is what JavaScript keeps.
struct Handle {
  std::unique_ptr<Image> image;
  std::string warning;  // the reader's warning when the image was loaded from a file
};

namespace {

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

const char* causeName(Cause cause) {
  switch (cause) {
    case Cause::ok: return "ok";
    case Cause::cannotOpen: return "cannotOpen";
    case Cause::readFailed: return "readFailed";
    case Cause::notBmp: return "notBmp";
    case Cause::headerCut: return "headerCut";
    case Cause::unsupportedHeader: return "unsupportedHeader";
    case Cause::unsupportedDepth: return "unsupportedDepth";
    case Cause::unsupportedCompression: return "unsupportedCompression";
    case Cause::topDown: return "topDown";
    case Cause::masksNotContiguous: return "masksNotContiguous";
    case Cause::masksOverlap: return "masksOverlap";
    case Cause::badSize: return "badSize";
    case Cause::tooLarge: return "tooLarge";
    case Cause::outOfMemory: return "outOfMemory";
    case Cause::writeFailed: return "writeFailed";
    case Cause::tooLargeForFile: return "tooLargeForFile";
    case Cause::noTemporaryFile: return "noTemporaryFile";
    case Cause::unknownMode: return "unknownMode";
    case Cause::noSuchEffect: return "noSuchEffect";
    case Cause::outsideSource: return "outsideSource";
    case Cause::noContent: return "noContent";
  }
  return "unknown";
}

const char* hintName(Hint hint) {
  switch (hint) {
    case Hint::none: return "";
    case Hint::extendedReader: return "extendedReader";
    case Hint::largerLimit: return "largerLimit";
    case Hint::otherFolder: return "otherFolder";
  }
  return "";
}

// What the last call that failed says, and what the last call that gives bytes gave.
struct Outcome {
  std::string error = "{}";      // JSON: cause, reason, hint, step
  std::vector<uint8_t> output;   // a file, or the JSON text of a description
};
Outcome outcome;
int32_t liveHandles = 0;

// A failure: cause is a Status cause's name, or "usage" for a chain that does not parse.
void fail(std::string_view cause, std::string_view reason, std::string_view hint = "",
          std::string_view step = "") {
  std::string json = "{\"cause\":";
  appendJsonString(json, cause);
  json += ",\"reason\":";
  appendJsonString(json, reason);
  json += ",\"hint\":";
  appendJsonString(json, hint);
  json += ",\"step\":";
  appendJsonString(json, step);
  json += '}';
  outcome.error = std::move(json);
}

void fail(const Status& status, std::string_view step = "") {
  fail(causeName(status.cause), to_string(status), hintName(status.hint()), step);
}

// Memory ran out in the module itself (a string, a list, a copy of the bytes).
void failOutOfMemory(std::string_view step = "") { fail("outOfMemory", "not enough memory", "", step); }

// Runs an export's body: a failed allocation anywhere in it is the export's failure (0 or
// null, with the out-of-memory outcome), never an exception into JavaScript.
template <typename Body>
auto guarded(Body body) -> decltype(body()) {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    failOutOfMemory();
    return {};
  }
}

Limits limitsOf(int32_t extended, double maxPixels) {
  Limits limits;
  limits.extended = extended != 0;
  limits.maxPixels = static_cast<int64_t>(maxPixels);
  return limits;
}

Handle* handleOf(std::unique_ptr<Image> image, std::string warning = {}) {
  auto handle = std::make_unique<Handle>();
  handle->image = std::move(image);
  handle->warning = std::move(warning);
  ++liveHandles;
  return handle.release();  // owned by JavaScript until bfw_free
}

void setOutput(std::vector<uint8_t> bytes) { outcome.output = std::move(bytes); }

void setOutput(std::string_view text) { outcome.output.assign(text.begin(), text.end()); }

// Run the steps of chain on the handle's image. In place, the handle's image becomes the
// result, step by step (a failed step leaves what the steps before it made); otherwise the
// image is left as it was and the result is a new image, copied from it only when a step
// changes it in place before any step has made a new one.
bool runChain(Handle& handle, const std::vector<Step>& steps, bool inPlace, std::unique_ptr<Image>& work) {
  for (const Step& step : steps) {
    std::unique_ptr<Image>& current = inPlace ? handle.image : work;
    Status status;
    if (!current && step.operation->makesNewImage()) {
      current = step.operation->make(*handle.image, step.arguments, &status);
      if (!current) {
        if (status.ok()) status.cause = Cause::outOfMemory;
        fail(status, step.token);
        return false;
      }
      continue;
    }
    if (!current) {
      current = Image::copyOf(*handle.image, &status);
      if (!current) {
        fail(status, step.token);
        return false;
      }
      current->sampling(handle.image->samplingMethod());  // a copy starts at 0
    }
    status = applyStep(step, current);
    if (!status.ok()) {
      fail(status, step.token);
      return false;
    }
  }
  return true;
}

// The header description of a file as JSON: {"kind": "...", "fields": [[name, value], ...]}.
std::string headersJson(const BmpHeaderView& view) {
  std::string json = "{\"kind\":";
  appendJsonString(json, view.kind);
  json += ",\"fields\":[";
  bool first = true;
  for (const BmpField& field : view.fields) {
    if (!first) json += ',';
    first = false;
    json += '[';
    appendJsonString(json, field.name);
    json += ',';
    appendJsonString(json, field.value);
    json += ']';
  }
  json += "]}";
  return json;
}

}  // namespace
}  // namespace bmpfun::web

using bmpfun::web::Handle;
namespace web = bmpfun::web;

// Calls that give bytes (a file, a description, the operation list) leave them in
// bfw_output until the next such call or bfw_output_release.
extern "C" {

EMSCRIPTEN_KEEPALIVE const char* bfw_error() { return web::outcome.error.c_str(); }
EMSCRIPTEN_KEEPALIVE const uint8_t* bfw_output() { return web::outcome.output.data(); }
EMSCRIPTEN_KEEPALIVE size_t bfw_output_size() { return web::outcome.output.size(); }
EMSCRIPTEN_KEEPALIVE void bfw_output_release() { std::vector<uint8_t>().swap(web::outcome.output); }

// Images alive (made and not yet freed), and the bytes the module's allocator has handed out
// and not taken back: what the tests watch for leaks.
EMSCRIPTEN_KEEPALIVE int32_t bfw_live_images() { return web::liveHandles; }
EMSCRIPTEN_KEEPALIVE double bfw_heap_in_use() { return static_cast<double>(mallinfo().uordblks); }

// The registry as JSON (operations, sampling methods, effects) in bfw_output.
EMSCRIPTEN_KEEPALIVE int32_t bfw_operations() {
  return web::guarded([&]() -> int32_t {
    web::setOutput(bmpfun::operationsJson());
    return 1;
  });
}

// Put the random generator back to its first draw, where a new `bmpfun` process starts.
EMSCRIPTEN_KEEPALIVE void bfw_restart_random() { bmpfun::restartRandomSequence(); }

// A BMP file's bytes as an image; with extended, read as --extended reads.
EMSCRIPTEN_KEEPALIVE Handle* bfw_load(const uint8_t* data, size_t size, int32_t extended, double max_pixels) {
  return web::guarded([&]() -> Handle* {
    bmpfun::Status status;
    auto image = bmpfun::Image::loadMemory({data, size}, web::limitsOf(extended, max_pixels), &status);
    if (!image) {
      web::fail(status);
      return nullptr;
    }
    return web::handleOf(std::move(image), status.hasWarnings() ? bmpfun::warningText(status) : "");
  });
}

// The test card (`bmpfun testcard`) as an image, read back from its 24-bit file as the
// program's commands would read it.
EMSCRIPTEN_KEEPALIVE Handle* bfw_test_card(int32_t width, int32_t height, double max_pixels) {
  return web::guarded([&]() -> Handle* {
    const bmpfun::Limits limits = web::limitsOf(0, max_pixels);
    bmpfun::Status status;
    if (!limits.allows(width, height)) {
      status.cause = width < 1 || height < 1 ? bmpfun::Cause::badSize : bmpfun::Cause::tooLarge;
      status.width = width;
      status.height = height;
      status.maxPixels = limits.maxPixels;
      web::fail(status);
      return nullptr;
    }
    bmpfun::Bitmap card;
    std::vector<uint8_t> file;
    if (!bmpfun::drawTestCard(card, width, height, limits) || !card.saveMemory(file, &status)) {
      status.cause = bmpfun::Cause::outOfMemory;
      status.width = width;
      status.height = height;
      web::fail(status);
      return nullptr;
    }
    card = bmpfun::Bitmap();  // the grid is not needed any more
    auto image = bmpfun::Image::loadMemory(file, limits, &status);
    if (!image) {
      web::fail(status);
      return nullptr;
    }
    return web::handleOf(std::move(image));
  });
}

// A blank image (every pixel 255, 255, 255, 0) whose pixels the caller then writes
// (bfw_pixels).
EMSCRIPTEN_KEEPALIVE Handle* bfw_create(int32_t width, int32_t height, double max_pixels) {
  return web::guarded([&]() -> Handle* {
    bmpfun::Status status;
    auto image = bmpfun::Image::create(width, height, web::limitsOf(0, max_pixels), &status);
    if (!image) {
      web::fail(status);
      return nullptr;
    }
    return web::handleOf(std::move(image));
  });
}

// A copy of the pixels (sampling method 0, as Image::copyOf makes it).
EMSCRIPTEN_KEEPALIVE Handle* bfw_copy(Handle* handle) {
  return web::guarded([&]() -> Handle* {
    bmpfun::Status status;
    auto image = bmpfun::Image::copyOf(*handle->image, &status);
    if (!image) {
      web::fail(status);
      return nullptr;
    }
    return web::handleOf(std::move(image));
  });
}

EMSCRIPTEN_KEEPALIVE void bfw_free(Handle* handle) {
  if (handle == nullptr) return;
  std::unique_ptr<Handle> owned(handle);
  --web::liveHandles;
}

EMSCRIPTEN_KEEPALIVE int32_t bfw_width(const Handle* handle) { return handle->image->width(); }
EMSCRIPTEN_KEEPALIVE int32_t bfw_height(const Handle* handle) { return handle->image->height(); }
EMSCRIPTEN_KEEPALIVE int32_t bfw_sampling(const Handle* handle) { return handle->image->samplingMethod(); }
EMSCRIPTEN_KEEPALIVE int32_t bfw_extended(const Handle* handle) { return handle->image->limits().extended ? 1 : 0; }
EMSCRIPTEN_KEEPALIVE double bfw_max_pixels(const Handle* handle) {
  return static_cast<double>(handle->image->limits().maxPixels);
}
EMSCRIPTEN_KEEPALIVE const char* bfw_warning(const Handle* handle) { return handle->warning.c_str(); }
// The pixels, r, g, b, a row by row from the top; valid until the next call that changes the
// image or the heap.
EMSCRIPTEN_KEEPALIVE uint8_t* bfw_pixels(Handle* handle) {
  static_assert(sizeof(bmpfun::Pixel) == 4, "a pixel is r, g, b, a bytes");
  return reinterpret_cast<uint8_t*>(handle->image->pixels().data());
}

// Apply a chain of `bmpfun apply` tokens ("sampling=1 fun=1"). in_place: the handle's image
// becomes the result and the handle is returned; otherwise the image is left as it was and a
// new handle holds the result.
EMSCRIPTEN_KEEPALIVE Handle* bfw_apply(Handle* handle, const char* chain, int32_t in_place) {
  return web::guarded([&]() -> Handle* {
    std::vector<bmpfun::Step> steps;
    std::string error;
    if (!bmpfun::parseChain(chain, steps, error)) {
      web::fail("usage", error);
      return nullptr;
    }
    std::unique_ptr<bmpfun::Image> result;
    if (!web::runChain(*handle, steps, in_place != 0, result)) return nullptr;
    return in_place != 0 ? handle : web::handleOf(std::move(result));
  });
}

// The image as a BMP file in bfw_output: what `bmpfun apply` writes (24 bits), at another
// depth what `bmpfun convert` makes of that file (alpha_masks: convert's 32a, a V5 header with
// an alpha mask), read back with the reader the image was loaded with.
EMSCRIPTEN_KEEPALIVE int32_t bfw_save(const Handle* handle, int32_t bits, int32_t alpha_masks) {
  return web::guarded([&]() -> int32_t {
    const bmpfun::Image& image = *handle->image;
    bmpfun::Status status;
    std::vector<uint8_t> file;
    if (!image.saveMemory(file, &status)) {
      web::fail(status);
      return 0;
    }
    if (bits != 24 || alpha_masks != 0) {
      bmpfun::SaveOptions options;
      options.alphaMasks = alpha_masks != 0;
      bmpfun::Bitmap bitmap;
      if (!bitmap.loadMemory(file, image.limits(), &status)) {
        web::fail(status);
        return 0;
      }
      std::vector<uint8_t>().swap(file);
      if (!bitmap.changeBitsPerPixel(bits) || !bitmap.saveMemory(file, options, &status)) {
        if (status.ok()) status.cause = bmpfun::Cause::outOfMemory;
        web::fail(status);
        return 0;
      }
    }
    web::setOutput(std::move(file));
    return 1;
  });
}

// A file's headers, as `bmpfun info` (with extended, `bmpfun --extended info`) describes
// them, as JSON in bfw_output.
EMSCRIPTEN_KEEPALIVE int32_t bfw_info(const uint8_t* data, size_t size, int32_t extended) {
  return web::guarded([&]() -> int32_t {
    bmpfun::BmpHeaderView view;
    bmpfun::Status status;
    const auto reading = extended != 0 ? bmpfun::HeaderReading::extended : bmpfun::HeaderReading::byDefault;
    if (!bmpfun::describeHeaders({data, size}, view, &status, reading)) {
      web::fail(status);
      return 0;
    }
    web::setOutput(web::headersJson(view));
    return 1;
  });
}

// `bmpfun convert`: the file read as a bitmap, at bits per pixel (0: its own depth and table)
// in bfw_output. Without a depth, a file whose alpha came from an alpha mask is written with
// one again, as the program does.
EMSCRIPTEN_KEEPALIVE int32_t bfw_convert(const uint8_t* data, size_t size, int32_t bits, int32_t alpha_masks,
                                         int32_t extended, double max_pixels) {
  return web::guarded([&]() -> int32_t {
    bmpfun::Bitmap bitmap;
    bmpfun::Status status;
    if (!bitmap.loadMemory({data, size}, web::limitsOf(extended, max_pixels), &status)) {
      web::fail(status);
      return 0;
    }
    bmpfun::SaveOptions options;
    options.alphaMasks = bits == 0 ? status.alphaMask : alpha_masks != 0;
    if (bits != 0 && !bitmap.changeBitsPerPixel(bits)) {
      web::failOutOfMemory();
      return 0;
    }
    std::vector<uint8_t> file;
    if (!bitmap.saveMemory(file, options, &status)) {
      web::fail(status);
      return 0;
    }
    web::setOutput(std::move(file));
    return 1;
  });
}

// `bmpfun rescale`: mode P, W, H or F (any case) and value, the result at 24 bits in
// bfw_output. A failure of the rescale itself names it as its step ("rescale x 7").
EMSCRIPTEN_KEEPALIVE int32_t bfw_rescale(const uint8_t* data, size_t size, int32_t mode, int32_t value,
                                         int32_t extended, double max_pixels) {
  return web::guarded([&]() -> int32_t {
    const bmpfun::Limits limits = web::limitsOf(extended, max_pixels);
    bmpfun::Bitmap bitmap;
    bmpfun::Status status;
    if (!bitmap.loadMemory({data, size}, limits, &status)) {
      web::fail(status);
      return 0;
    }
    if (!bmpfun::rescale(bitmap, static_cast<char>(mode), value, limits, &status)) {
      std::string reason = to_string(status);
      if (status.cause == bmpfun::Cause::unknownMode) reason += " (P percent, W width, H height, F longer side)";
      const std::string step = "rescale " + std::string(1, static_cast<char>(mode)) + " " + std::to_string(value);
      web::fail(web::causeName(status.cause), reason, web::hintName(status.hint()), step);
      return 0;
    }
    std::vector<uint8_t> file;
    if (!bitmap.saveMemory(file, &status)) {
      web::fail(status);
      return 0;
    }
    web::setOutput(std::move(file));
    return 1;
  });
}

}  // extern "C"
