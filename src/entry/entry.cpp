// The C entries BMPFun (exported) and BMPNoise (internal).
//
// Every failure is returned as a code; nothing here ends the process, and no exception
// leaves these functions: each stage catches everything its C++ callees might throw and
// turns it into that stage's failure. The library has no static objects with dynamic
// initialisation, so loading and unloading it runs none of this code.
#include "entry/entry.hpp"

#include <bmpfun/image.hpp>

#include <cstdio>
#include <memory>
#include <utility>

namespace bmpfun::entry {

namespace {

void appendUtf8(std::string& out, uint32_t code) {
  if (code < 0x80) {
    out.push_back(static_cast<char>(code));
  } else if (code < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (code >> 6)));
    out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
  } else if (code < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (code >> 12)));
    out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (code >> 18)));
    out.push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
  }
}

constexpr bool isHighSurrogate(uint32_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
constexpr bool isLowSurrogate(uint32_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

}  // namespace

bool utf16ToUtf8(std::u16string_view in, std::string& out) {
  out.clear();
  for (size_t i = 0; i < in.size(); ++i) {
    uint32_t code = in[i];
    if (isHighSurrogate(code)) {
      if (i + 1 == in.size() || !isLowSurrogate(in[i + 1])) {
        out.clear();
        return false;
      }
      const uint32_t low = in[++i];
      code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
    } else if (isLowSurrogate(code)) {
      out.clear();
      return false;
    }
    appendUtf8(out, code);
  }
  return true;
}

NarrowPath narrowPath(const char16_t* wide) {
  NarrowPath path;
  if (wide == nullptr) return path;
  path.present = true;
  bool converted = false;
  try {
    converted = utf16ToUtf8(std::u16string_view(wide), path.name);
  } catch (...) {  // out of memory: treat like an unconvertible name
    converted = false;
  }
  if (!converted) path.name.clear();
  return path;
}

}  // namespace bmpfun::entry

namespace {

using bmpfun::Image;
using bmpfun::Cause;
using bmpfun::Status;
using bmpfun::entry::NarrowPath;
using bmpfun::entry::narrowPath;

// The two messages go to standard output without a line end, flushed at once so that they
// land in order with whatever the host writes through its own buffers.
void reportLoadFailure(const std::string& name) {
  std::printf("Error loading image: %s", name.c_str());
  std::fflush(stdout);
}

void reportAllocationFailure() {
  std::printf("Error allocating image.");
  std::fflush(stdout);
}

// The input image, or null after printing the loading message. A null path, a path that
// does not convert (printed as empty) and a file over the default size limit all fail here.
std::unique_ptr<Image> loadInput(const char16_t* input) {
  const NarrowPath path = narrowPath(input);
  std::unique_ptr<Image> image;
  if (path.present) {
    try {
      image = Image::load(path.name);
    } catch (...) {
      image.reset();
    }
  }
  if (!image) reportLoadFailure(path.name);
  return image;
}

// True when the whole file was written. A null path writes nothing.
// The image is dropped right after, so the file is written straight from its pixels.
bool saveOutput(const Image& image, const char16_t* output) {
  const NarrowPath path = narrowPath(output);
  if (!path.present) return false;
  try {
    return image.save(path.name);
  } catch (...) {
    return false;
  }
}

// Effect numbers that have a warp; any other is refused before the image is touched.
constexpr bool hasWarp(int32_t effect) { return effect >= 0 && effect <= 2; }

}  // namespace

extern "C" int32_t BMPFun(const char16_t* input, const char16_t* output, int32_t effect) {
  std::unique_ptr<Image> source = loadInput(input);
  if (!source) return BMPFUN_ERROR_LOAD;
  if (!hasWarp(effect)) return BMPFUN_ERROR_EFFECT;

  Status status;
  std::unique_ptr<Image> warped;
  try {
    warped = source->fun(effect, &status);
  } catch (...) {
    warped.reset();
    status.cause = Cause::outOfMemory;
  }
  source.reset();  // the source is no longer needed: free it before the save
  if (!warped) {
    if (status.cause == Cause::noSuchEffect) return BMPFUN_ERROR_EFFECT;
    reportAllocationFailure();
    return BMPFUN_ERROR_ALLOCATE;
  }
  return saveOutput(*warped, output) ? BMPFUN_OK : BMPFUN_ERROR_SAVE;
}

extern "C" int32_t BMPNoise(const char16_t* input, const char16_t* output) {
  std::unique_ptr<Image> image = loadInput(input);
  if (!image) return BMPFUN_ERROR_LOAD;
  try {
    image->noise(1.0);
  } catch (...) {
    reportAllocationFailure();
    return BMPFUN_ERROR_ALLOCATE;
  }
  return saveOutput(*image, output) ? BMPFUN_OK : BMPFUN_ERROR_SAVE;
}
