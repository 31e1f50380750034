// Entry target: BMPFun (and BMPNoise) with fuzzed file bytes, effect number and UTF-16 paths
// (null, unpaired surrogates, embedded zeros, odd names), plus the UTF-16 to UTF-8 conversion
// against an independent decoder. Every path handed to the entry names a file directly inside
// this process's scratch folder, or is null, or cannot be converted: nothing is written
// anywhere else.
#include <bmpfun/bmpfun.h>
#include <bmpfun/image.hpp>

#include "entry/entry.hpp"
#include "fuzz_support.hpp"
#include "fuzzed_input.hpp"
#include "support/reference_bmp.hpp"

#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

using namespace bmpfun;

namespace {

constexpr size_t kParameterBytes = 96;  // taken from the end of the input

const std::u16string kUnconvertible = u"\xD800-unpaired";

std::u16string widen(const std::string& ascii) { return {ascii.begin(), ascii.end()}; }

bool isHigh(uint32_t u) { return u >= 0xD800 && u <= 0xDBFF; }
bool isLow(uint32_t u) { return u >= 0xDC00 && u <= 0xDFFF; }

// Code points of a UTF-16 string, or nothing when a surrogate is unpaired.
std::optional<std::vector<uint32_t>> decode16(std::u16string_view s) {
  std::vector<uint32_t> out;
  for (size_t i = 0; i < s.size(); ++i) {
    const uint32_t u = s[i];
    if (isHigh(u)) {
      if (i + 1 >= s.size() || !isLow(s[i + 1])) return std::nullopt;
      out.push_back(0x10000 + ((u - 0xD800) << 10) + (s[++i] - 0xDC00u));
    } else if (isLow(u)) {
      return std::nullopt;
    } else {
      out.push_back(u);
    }
  }
  return out;
}

// Code points of a UTF-8 string, or nothing when it is not shortest-form UTF-8.
std::optional<std::vector<uint32_t>> decode8(const std::string& s) {
  std::vector<uint32_t> out;
  for (size_t i = 0; i < s.size();) {
    const auto b0 = static_cast<uint8_t>(s[i]);
    size_t n = b0 < 0x80 ? 1 : (b0 >> 5) == 6 ? 2 : (b0 >> 4) == 14 ? 3 : (b0 >> 3) == 30 ? 4 : 0;
    if (n == 0 || i + n > s.size()) return std::nullopt;
    uint32_t cp = n == 1 ? b0 : n == 2 ? (b0 & 0x1Fu) : n == 3 ? (b0 & 0x0Fu) : (b0 & 0x07u);
    for (size_t k = 1; k < n; ++k) {
      const auto b = static_cast<uint8_t>(s[i + k]);
      if ((b >> 6) != 2) return std::nullopt;
      cp = (cp << 6) | (b & 0x3Fu);
    }
    static constexpr uint32_t kMin[5] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < kMin[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return std::nullopt;
    out.push_back(cp);
    i += n;
  }
  return out;
}

void checkConversion(std::u16string_view units) {
  std::string out = "left over";
  const bool ok = entry::utf16ToUtf8(units, out);
  const auto expected = decode16(units);
  FUZZ_CHECK(ok == expected.has_value(), "conversion result");
  if (!ok) {
    FUZZ_CHECK(out.empty(), "failed conversion left output");
    return;
  }
  const auto back = decode8(out);
  FUZZ_CHECK(back && *back == *expected, "conversion output");
}

// One path argument. `wide` holds the units including the terminating zero; `name` is what
// the entry will open (when it converts).
struct PathArg {
  bool null = true;
  std::u16string wide;
  std::optional<std::string> name;
  const char16_t* pointer() const { return null ? nullptr : wide.c_str(); }
};

PathArg nullPath() { return {}; }

PathArg unconvertible() {
  PathArg p;
  p.null = false;
  p.wide = kUnconvertible;
  return p;
}

PathArg named(const std::string& name) {
  PathArg p;
  p.null = false;
  p.wide = widen(fuzz::scratchDir() + "/") + widen(name);
  p.name = fuzz::scratchDir() + "/" + name;
  return p;
}

// A fuzzed file name in the scratch folder. Units after a zero are junk the entry must not
// read. A name that converts but would leave the folder (a slash, "." or "..", empty) is
// replaced by a null or an unconvertible path.
PathArg fuzzedName(fuzz::FuzzedInput& in) {
  std::u16string units;
  const size_t n = in.ConsumeIntegralInRange<size_t>(0, 12);
  for (size_t k = 0; k < n; ++k) {
    switch (in.ConsumeIntegralInRange<int>(0, 3)) {
      case 0: units.push_back(static_cast<char16_t>(in.ConsumeIntegralInRange<int>('a', 'e'))); break;
      case 1: units.push_back(static_cast<char16_t>(in.ConsumeIntegralInRange<int>(0xD7FF, 0xE000))); break;
      case 2: units.push_back(static_cast<char16_t>(in.ConsumeIntegralInRange<int>(0, 0x7F))); break;
      default: units.push_back(in.ConsumeIntegral<char16_t>()); break;
    }
  }
  const std::u16string_view effective(units.c_str());  // up to the first zero
  std::string name;
  PathArg p;
  p.null = false;
  p.wide = widen(fuzz::scratchDir() + "/") + units;
  if (!entry::utf16ToUtf8(effective, name)) return p;  // cannot be converted: safe as it is
  if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos) {
    return in.ConsumeBool() ? nullPath() : unconvertible();
  }
  p.name = fuzz::scratchDir() + "/" + name;
  return p;
}

PathArg choosePath(fuzz::FuzzedInput& in, const char* usual, const PathArg* other) {
  switch (in.ConsumeIntegralInRange<int>(0, 5)) {
    case 1: return nullPath();
    case 2: return unconvertible();
    case 3: return fuzzedName(in);
    case 4: return other != nullptr ? *other : named(usual);
    default: return named(usual);  // also what an exhausted provider gives
  }
}

std::optional<std::vector<uint8_t>> contents(const std::string& path) {
  if (!fuzz::fileExists(path)) return std::nullopt;
  return fuzz::readFile(path);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::silenceStdout();  // the entry's messages
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::srand(1);
  const size_t parameterBytes = std::min(size, kParameterBytes);
  const size_t fileSize = size - parameterBytes;
  fuzz::FuzzedInput in(data + fileSize, parameterBytes);

  // Mostly the three warps (an exhausted provider gives effect 0), sometimes any number.
  const int pick = in.ConsumeIntegralInRange<int>(0, 5);
  const int32_t effect = pick <= 2 ? pick : pick == 3 ? -1 : pick == 4 ? 3 : in.ConsumeIntegral<int32_t>();
  // The entry loads without a small limit: keep the work of one input small by skipping
  // files that announce a large grid (a short file can announce any size).
  if (fileSize >= 54) {
    const BitmapInfoHeader info = reference::readHeaders({data, fileSize}).info;
    const int64_t w = info.biWidth, h = info.biHeight;
    if (w > 0 && h > 0 && (w * h > (int64_t{1} << 16) || (2 * h + 1) * (2 * h + 1) > (int64_t{1} << 18))) return 0;
  }
  fuzz::clearScratch();
  const std::string inputFile = fuzz::scratchFile("input.bmp");
  FUZZ_CHECK(fuzz::writeFile(inputFile, data, fileSize), "cannot write the input");
  if (in.ConsumeBool()) {
    const uint8_t old[] = {'o', 'l', 'd'};
    FUZZ_CHECK(fuzz::writeFile(fuzz::scratchFile("output.bmp"), old, sizeof old), "cannot write the old output");
  }

  const PathArg input = choosePath(in, "input.bmp", nullptr);
  const PathArg output = choosePath(in, "output.bmp", &input);
  const bool noise = in.ConsumeIntegralInRange<int>(0, 7) == 7;

  // What the entry should see: the input image (default limits, as the entry loads it).
  std::unique_ptr<Image> source;
  if (input.name) source = Image::load(*input.name);
  const std::optional<std::vector<uint8_t>> before = output.name ? contents(*output.name) : std::nullopt;

  const int32_t rc = noise ? BMPNoise(input.pointer(), output.pointer())
                           : BMPFun(input.pointer(), output.pointer(), effect);

  if (!source) {
    FUZZ_CHECK(rc == BMPFUN_ERROR_LOAD, "load failure code " + std::to_string(rc));
  } else if (!noise && (effect < 0 || effect > 2)) {
    FUZZ_CHECK(rc == BMPFUN_ERROR_EFFECT, "effect code " + std::to_string(rc));
  } else if (!output.name) {
    FUZZ_CHECK(rc == BMPFUN_ERROR_SAVE, "save to a null or unconvertible path gave " + std::to_string(rc));
  } else {
    FUZZ_CHECK(rc == BMPFUN_OK || rc == BMPFUN_ERROR_SAVE, "code " + std::to_string(rc));
  }

  if (output.name) {
    const std::optional<std::vector<uint8_t>> after = contents(*output.name);
    if (rc != BMPFUN_OK) {
      FUZZ_CHECK(after == before, "a failed call changed the output file");
    } else {
      auto result = Image::load(*output.name);
      FUZZ_CHECK(result != nullptr, "the written output does not load");
      const int32_t w = noise || effect != 1 ? source->width() : 2 * source->height() + 1;
      const int32_t h = noise || effect != 1 ? source->height() : 2 * source->height() + 1;
      FUZZ_CHECK(result->width() == w && result->height() == h, "output size");
      FUZZ_CHECK(fileBitsPerPixel(*output.name) == 24, "output depth");
    }
  }

  // No temporary or partial file is left behind, whatever the outcome.
  for (const std::string& name : fuzz::scratchEntries()) {
    const std::string path = fuzz::scratchFile(name);
    FUZZ_CHECK(name == "input.bmp" || name == "output.bmp" || (output.name && path == *output.name),
               "stray file " + name + " after code " + std::to_string(rc));
  }

  // The conversion on its own, with arbitrary units (the rest of the parameters).
  std::u16string units;
  while (in.remaining_bytes() >= 2) units.push_back(in.ConsumeIntegral<char16_t>());
  checkConversion(units);
  FUZZ_CHECK(!entry::narrowPath(nullptr).present, "null path present");
  return 0;
}
