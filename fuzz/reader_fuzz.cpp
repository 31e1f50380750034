// Reader target: bytes -> load from memory and from a file (both must agree to the last
// field) -> save at every depth -> read back, checking what each depth keeps exactly.
#include <bmpfun/bmp.hpp>
#include <bmpfun/image.hpp>

#include "bmp/reader.hpp"
#include "bmp/writer.hpp"
#include "fuzz_support.hpp"

#include <sys/stat.h>

#include <cstdint>
#include <string>
#include <unordered_map>

using namespace bmpfun;
using bmpfun::fuzz::scratchFile;

namespace {

constexpr int64_t kMaxPixels = int64_t{1} << 16;
// The paletted writers search the whole table for every new colour; beyond this many pixels
// the round trip at 1, 4 and 8 bits costs much and covers nothing new.
constexpr int64_t kMaxPalettedRoundTrip = int64_t{1} << 12;

std::string describe(const Bitmap& b) {
  return std::to_string(b.width()) + "x" + std::to_string(b.height()) + " at " +
         std::to_string(b.bitsPerPixel()) + " bits";
}

bool isPaletted(int32_t bits) { return bits == 1 || bits == 4 || bits == 8; }

// What a pixel must read back as after a save at the bitmap's depth. `nearest` remembers the
// table index of every colour met so far.
BitmapPixel expectedAfterSave(const Bitmap& saved, BitmapPixel p, std::unordered_map<uint32_t, uint8_t>& nearest) {
  switch (saved.bitsPerPixel()) {
    case 1:
    case 4:
    case 8: {
      const uint32_t key = uint32_t{p.blue} | uint32_t{p.green} << 8 | uint32_t{p.red} << 16;
      auto [at, added] = nearest.try_emplace(key, 0);
      if (added) at->second = nearestTableIndex(saved, p);
      return saved.colorTable()[at->second];
    }
    case 16:  // 5-6-5 on disk, read back through the masks as multiples of 8; no alpha
      return BitmapPixel{static_cast<uint8_t>(p.blue & 0xF8), static_cast<uint8_t>(p.green & 0xF8),
                         static_cast<uint8_t>(p.red & 0xF8), 0};
    case 24: return BitmapPixel{p.blue, p.green, p.red, 0};
    default: return p;
  }
}

void roundTrip(const Bitmap& loaded, int32_t depth, const Limits& limits) {
  Bitmap copy(loaded);
  // The copy passes its resolution through dots per inch; put the loaded values back.
  copy.setPixelsPerMeter(loaded.xPixelsPerMeter(), loaded.yPixelsPerMeter());
  if (depth != loaded.bitsPerPixel()) FUZZ_CHECK(copy.changeBitsPerPixel(depth), describe(copy));

  const std::string out = scratchFile("out.bmp");
  FUZZ_CHECK(copy.saveFile(out), "save failed for " + describe(copy));
  struct stat st {};
  FUZZ_CHECK(stat(out.c_str(), &st) == 0, out);
  const auto layout = detail::bmpLayout(depth, copy.width(), copy.height());
  FUZZ_CHECK(layout && static_cast<uint64_t>(st.st_size) == layout->fileBytes,
             "file size " + std::to_string(st.st_size) + " for " + describe(copy));

  Bitmap back;
  FUZZ_CHECK(back.loadFile(out, limits), "written file refused: " + describe(copy));
  FUZZ_CHECK(back.width() == copy.width() && back.height() == copy.height() &&
                 back.bitsPerPixel() == depth,
             describe(back) + " read back from " + describe(copy));
  const int32_t xr = copy.xPixelsPerMeter() == 0 ? 3780 : copy.xPixelsPerMeter();
  const int32_t yr = copy.yPixelsPerMeter() == 0 ? 3780 : copy.yPixelsPerMeter();
  FUZZ_CHECK(back.xPixelsPerMeter() == xr && back.yPixelsPerMeter() == yr, "resolution");
  if (isPaletted(depth)) FUZZ_CHECK(back.colorTable() == copy.colorTable(), "colour table");

  const size_t n = static_cast<size_t>(copy.width()) * static_cast<size_t>(copy.height());
  std::unordered_map<uint32_t, uint8_t> nearest;
  for (size_t i = 0; i < n; ++i) {
    const BitmapPixel want = expectedAfterSave(copy, copy.data()[i], nearest);
    const BitmapPixel got = back.data()[i];
    FUZZ_CHECK(got == want, "pixel " + std::to_string(i) + " of " + describe(copy) + " changed: " +
                                std::to_string(got.blue) + "," + std::to_string(got.green) + "," +
                                std::to_string(got.red) + "," + std::to_string(got.alpha) + " for " +
                                std::to_string(want.blue) + "," + std::to_string(want.green) + "," +
                                std::to_string(want.red) + "," + std::to_string(want.alpha));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Limits limits;
  limits.maxPixels = kMaxPixels;

  Bitmap fromMemory;
  const bool okMemory = fromMemory.loadMemory({data, size}, limits);
  const std::string input = scratchFile("input.bmp");
  FUZZ_CHECK(fuzz::writeFile(input, data, size), "cannot write " + input);
  Bitmap fromFile;
  const bool okFile = fromFile.loadFile(input, limits);
  FUZZ_CHECK(okMemory == okFile, "memory and file loads disagree");
  FUZZ_CHECK(fuzz::sameBitmap(fromMemory, fromFile), "memory and file loads left different bitmaps");

  // Whatever the outcome, the bitmap is a valid grid with a table of the right size.
  const Bitmap& b = fromMemory;
  FUZZ_CHECK(limits.allows(b.width(), b.height()),
             describe(b));
  FUZZ_CHECK(isPaletted(b.bitsPerPixel()) ? b.colorTable().size() == static_cast<size_t>(b.colorCount())
                                          : b.colorTable().empty(),
             "table size for " + describe(b));
  if (!okMemory) return 0;

  // The image factory reads the same file into the same pixels, red first.
  ImageStatus status = ImageStatus::ok;
  auto image = Image::load(input, limits, &status);
  FUZZ_CHECK(image && status == ImageStatus::ok, to_string(status));
  FUZZ_CHECK(image->width() == b.width() && image->height() == b.height(), "image size");
  for (size_t i = 0; i < image->pixels().size(); ++i) {
    const BitmapPixel s = b.data()[i];
    FUZZ_CHECK((image->pixels()[i] == Pixel{s.red, s.green, s.blue, s.alpha}), "image pixel");
  }
  // Saving the image writes 24 bits: colours kept, alpha dropped.
  const std::string saved = scratchFile("image.bmp");
  FUZZ_CHECK(image->save(saved), "image save");
  auto again = Image::load(saved, limits);
  FUZZ_CHECK(again && again->width() == image->width() && again->height() == image->height(), "image reload");
  for (size_t i = 0; i < again->pixels().size(); ++i) {
    const Pixel p = image->pixels()[i];
    FUZZ_CHECK((again->pixels()[i] == Pixel{p.r, p.g, p.b, 0}), "image pixel after save");
  }

  const bool small = int64_t{b.width()} * b.height() <= kMaxPalettedRoundTrip;
  for (const int32_t depth : {1, 4, 8, 16, 24, 32}) {
    if (small || !isPaletted(depth)) roundTrip(b, depth, limits);
  }
  return 0;
}
