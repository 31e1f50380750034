// The C entries BMPFun (exported) and BMPNoise (internal).
//
// Every failure is returned as a code; nothing here ends the process, and no exception
// leaves these functions: each stage catches everything its C++ callees might throw and
// turns it into that stage's failure. The library has no static objects with dynamic
// initialisation, so loading and unloading it runs none of this code.
#include "entry/entry.hpp"

#include <bmpfun/image.hpp>
#include <bmpfun/paths.hpp>

#include <cstdio>
#include <memory>
#include <utility>

namespace bmpfun::entry {

namespace {

constexpr bool isHighSurrogate(uint32_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
constexpr bool isLowSurrogate(uint32_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

// The name as a path string: strict UTF-8 (an unpaired surrogate fails it) where the system
// takes names as bytes; on Windows every UTF-16 name, unpaired surrogates included, which the
// library turns back into the same units at the system call.
bool convertName(std::u16string_view units, std::string& out) {
#ifdef _WIN32
  out = bmpfun::pathFromUtf16(units);
  return true;
#else
  return utf16ToUtf8(units, out);
#endif
}

}  // namespace

bool utf16ToUtf8(std::u16string_view in, std::string& out) {
  out.clear();
  for (size_t i = 0; i < in.size(); ++i) {
    if (isLowSurrogate(in[i])) return false;
    if (isHighSurrogate(in[i]) && (++i == in.size() || !isLowSurrogate(in[i]))) return false;
  }
  out = bmpfun::pathFromUtf16(in);
  return true;
}

NarrowPath narrowPath(const char16_t* wide) {
  NarrowPath path;
  if (wide == nullptr) return path;
  path.present = true;
  bool converted = false;
  try {
    converted = convertName(std::u16string_view(wide), path.name);
  } catch (...) {  // out of memory: treat like an unconvertible name
    converted = false;
  }
  if (!converted) path.name.clear();
  return path;
}

#ifdef _WIN32
NarrowPath narrowPath(const wchar_t* wide) {
  if (wide == nullptr) return {};
  std::u16string units;
  try {
    for (const wchar_t* unit = wide; *unit != 0; ++unit) units.push_back(static_cast<char16_t>(*unit));
  } catch (...) {  // out of memory: as an unconvertible name
    return NarrowPath{true, {}};
  }
  return narrowPath(units.c_str());
}
#endif

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
template <typename Unit>
std::unique_ptr<Image> loadInput(const Unit* input) {
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
template <typename Unit>
bool saveOutput(const Image& image, const Unit* output) {
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

template <typename Unit>
int32_t warp(const Unit* input, const Unit* output, int32_t effect) {
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

}  // namespace

// Windows hosts pass wchar_t strings (UTF-16 units there), the others char16_t ones.
#ifdef _WIN32
extern "C" int32_t BMPFun(const wchar_t* input, const wchar_t* output, int32_t effect) {
  return warp(input, output, effect);
}
#else
extern "C" int32_t BMPFun(const char16_t* input, const char16_t* output, int32_t effect) {
  return warp(input, output, effect);
}
#endif

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
