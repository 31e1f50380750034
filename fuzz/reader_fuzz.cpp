// Reader target: bytes -> load from memory and from a file (both must agree to the last
// field, and do what the reference decoder does: outcome, cause, bitmap, warnings) -> the
// image factory reads the same pixels -> save at every depth: the reference encoder's bytes,
// which read back as the reference decodes them.
#include <bmpfun/bmp.hpp>
#include <bmpfun/image.hpp>

#include "fuzz_support.hpp"
#include "support/reference_bmp.hpp"

#include <cstdint>
#include <span>
#include <string>
#include <vector>

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

// A load did what the reference decoder does with the same bytes.
void checkLikeReference(const Bitmap& b, bool ok, const BmpStatus& status, std::span<const uint8_t> bytes,
                        const Limits& limits, const std::string& what) {
  const std::string difference = reference::loadDifference(b, ok, status, bytes, limits);
  FUZZ_CHECK(difference.empty(), what + " unlike the reference: " + difference);
}

void roundTrip(const Bitmap& loaded, int32_t depth, const Limits& limits) {
  Bitmap copy(loaded);
  // The copy passes its resolution through dots per inch; put the loaded values back.
  copy.setPixelsPerMeter(loaded.xPixelsPerMeter(), loaded.yPixelsPerMeter());
  if (depth != loaded.bitsPerPixel()) FUZZ_CHECK(copy.changeBitsPerPixel(depth), describe(copy));

  const std::string out = scratchFile("out.bmp");
  FUZZ_CHECK(copy.saveFile(out), "save failed for " + describe(copy));
  const std::vector<uint8_t> written = fuzz::readFile(out);
  FUZZ_CHECK(written == reference::encode(reference::rasterOf(copy)), "written bytes of " + describe(copy));
  Bitmap back;
  BmpStatus status;
  const bool ok = back.loadFile(out, limits, &status);
  FUZZ_CHECK(ok, "written file refused: " + describe(copy));
  checkLikeReference(back, ok, status, written, limits, "the read back of " + describe(copy));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Limits limits;
  limits.maxPixels = kMaxPixels;

  Bitmap fromMemory, fromFile;
  BmpStatus memoryStatus, fileStatus;
  const bool okMemory = fromMemory.loadMemory({data, size}, limits, &memoryStatus);
  const std::string input = scratchFile("input.bmp");
  FUZZ_CHECK(fuzz::writeFile(input, data, size), "cannot write " + input);
  const bool okFile = fromFile.loadFile(input, limits, &fileStatus);
  FUZZ_CHECK(okMemory == okFile && to_string(memoryStatus) == to_string(fileStatus),
             "memory and file loads disagree: " + to_string(memoryStatus) + " / " + to_string(fileStatus));
  const std::string apart = reference::difference(fromMemory, fromFile);
  FUZZ_CHECK(apart.empty(), "memory and file loads left different bitmaps: " + apart);
  checkLikeReference(fromMemory, okMemory, memoryStatus, {data, size}, limits, "the load");

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
  const std::vector<Pixel> pixels(image->pixels().begin(), image->pixels().end());
  FUZZ_CHECK(pixels == reference::rgbaOf(reference::rasterOf(b)), "image pixels");
  // Saving the image writes 24 bits: colours kept, alpha dropped.
  const std::string saved = scratchFile("image.bmp");
  FUZZ_CHECK(image->save(saved), "image save");
  FUZZ_CHECK(fuzz::readFile(saved) == reference::encode(reference::rasterOf(*image)), "image file bytes");
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
