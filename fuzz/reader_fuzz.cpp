// Reader target (the default reader), in memory: bytes -> load (it must do what the reference
// decoder does: outcome, cause, bitmap, warnings) -> the image factory reads the same pixels ->
// save at one depth: the reference encoder's bytes, which read back as the reference decodes
// them. The bytes choose (through a hash, so a replay does the same) the depth of the round
// trip, and one input in 16 is also loaded from a file, which must give the same result to the
// last field; the rest never touch the file system.
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

constexpr int64_t kMaxPixels = int64_t{1} << 14;
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

// The first pixel of an image saved at 24 bits and read back that is not its colour with
// alpha 0; -1 for none.
FUZZ_NO_COVERAGE int64_t firstChangedBySave(std::span<const Pixel> image, std::span<const Pixel> again) {
  for (size_t i = 0; i < again.size(); ++i) {
    const Pixel p = image[i];
    if (!(again[i] == Pixel{p.r, p.g, p.b, 0})) return static_cast<int64_t>(i);
  }
  return -1;
}

void roundTrip(const Bitmap& loaded, int32_t depth, const Limits& limits) {
  Bitmap copy(loaded);
  // The copy passes its resolution through dots per inch; put the loaded values back.
  copy.setPixelsPerMeter(loaded.xPixelsPerMeter(), loaded.yPixelsPerMeter());
  if (depth != loaded.bitsPerPixel()) FUZZ_CHECK(copy.changeBitsPerPixel(depth), describe(copy));

  std::vector<uint8_t> written;
  FUZZ_CHECK(copy.saveMemory(written), "save failed for " + describe(copy));
  FUZZ_CHECK(written == reference::encode(reference::rasterOf(copy)), "written bytes of " + describe(copy));
  Bitmap back;
  BmpStatus status;
  const bool ok = back.loadMemory(written, limits, &status);
  FUZZ_CHECK(ok, "written file refused: " + describe(copy));
  checkLikeReference(back, ok, status, written, limits, "the read back of " + describe(copy));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Limits limits;
  limits.maxPixels = kMaxPixels;

  Bitmap fromMemory;
  BmpStatus memoryStatus;
  const bool okMemory = fromMemory.loadMemory({data, size}, limits, &memoryStatus);
  checkLikeReference(fromMemory, okMemory, memoryStatus, {data, size}, limits, "the load");
  const uint32_t hash = fuzz::hashBytes(data, size);
  if (hash % 16 == 0) {
    const std::string input = scratchFile("input.bmp");
    FUZZ_CHECK(fuzz::writeFile(input, data, size), "cannot write " + input);
    Bitmap fromFile;
    BmpStatus fileStatus;
    const bool okFile = fromFile.loadFile(input, limits, &fileStatus);
    FUZZ_CHECK(okMemory == okFile && to_string(memoryStatus) == to_string(fileStatus),
               "memory and file loads disagree: " + to_string(memoryStatus) + " / " + to_string(fileStatus));
    const std::string apart = reference::difference(fromMemory, fromFile);
    FUZZ_CHECK(apart.empty(), "memory and file loads left different bitmaps: " + apart);
  }

  // Whatever the outcome, the bitmap is a valid grid with a table of the right size.
  const Bitmap& b = fromMemory;
  FUZZ_CHECK(limits.allows(b.width(), b.height()),
             describe(b));
  FUZZ_CHECK(isPaletted(b.bitsPerPixel()) ? b.colorTable().size() == static_cast<size_t>(b.colorCount())
                                          : b.colorTable().empty(),
             "table size for " + describe(b));
  if (!okMemory) return 0;

  // The image factory reads the same bytes into the same pixels, red first.
  Status status{.cause = Cause::ok};
  auto image = Image::loadMemory({data, size}, limits, &status);
  FUZZ_CHECK(image && status == Cause::ok, to_string(status));
  FUZZ_CHECK(image->width() == b.width() && image->height() == b.height(), "image size");
  FUZZ_CHECK(fuzz::firstImageMismatch(image->pixels(), b.data()) < 0, "image pixels");
  // Saving the image writes 24 bits: colours kept, alpha dropped.
  std::vector<uint8_t> saved;
  FUZZ_CHECK(image->saveMemory(saved), "image save");
  FUZZ_CHECK(saved == reference::encode(reference::rasterOf(*image)), "image file bytes");
  auto again = Image::loadMemory(saved, limits);
  FUZZ_CHECK(again && again->width() == image->width() && again->height() == image->height(), "image reload");
  FUZZ_CHECK(firstChangedBySave(image->pixels(), again->pixels()) < 0, "image pixel after save");

  // One depth per input: over a run every depth is met many times, at a sixth of the cost.
  constexpr int32_t kDepths[] = {1, 4, 8, 16, 24, 32};
  const int32_t depth = kDepths[(hash >> 4) % 6];
  const bool small = int64_t{b.width()} * b.height() <= kMaxPalettedRoundTrip;
  roundTrip(b, small || !isPaletted(depth) ? depth : 32, limits);
  return 0;
}
