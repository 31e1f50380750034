// Every file of the public BMP test suite (testdata/bmpsuite): whether the reader loads or
// refuses it, and what a loaded file decodes to.
//
// Two independent checks of the pixels:
//  - files whose encoding leaves a decoder no choice (24 bits, 32 bits uncompressed, paletted
//    files whose table covers every index used) must equal, in red, green and blue, what
//    Debian's ImageMagick (convert-im6.q16) decodes;
//  - every loaded file must equal a decode computed here from the raw bytes by this reader's
//    own rules (where the table and pixels start, missing table entries and rows white with
//    alpha 0, 16-bit channels scaled by 8, ...), and some must equal a sibling file that holds
//    the same picture.
// The files left out of the ImageMagick comparison and why are listed in the table below and
// in docs/corpus.md.
#include <bmpfun/bmp.hpp>
#include <bmpfun/image.hpp>

#include "support/test_support.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <optional>
#include <set>
#include <string>
#include <vector>

extern char** environ;

namespace bmpfun {
namespace {

namespace fs = std::filesystem;
using test::getU16;
using test::getU32;

constexpr BitmapPixel kBlank{255, 255, 255, 0};

// Why the reader refuses a file: the first of its header checks that fails.
enum class Refusal { none, badMagic, compression, depth, size, limit };

// How a loaded file's pixels are checked besides the rule decode below.
enum class Peer { imageMagick, ownRuleOnly };

struct CorpusFile {
  const char* name;  // path under bmpsuite/
  bool loads;
  int32_t bits, width, height;  // what a loaded file gives
  Refusal refusal;
  Peer peer;
  const char* why;              // why it is refused, or left out of the ImageMagick comparison
  const char* sameAs;           // a file that must decode to exactly the same pixels
};

CorpusFile peer(const char* name, int32_t bits, int32_t width = 127, int32_t height = 64) {
  return {name, true, bits, width, height, Refusal::none, Peer::imageMagick, "", nullptr};
}
CorpusFile own(const char* name, int32_t bits, const char* why, const char* sameAs = nullptr) {
  return {name, true, bits, 127, 64, Refusal::none, Peer::ownRuleOnly, why, sameAs};
}
CorpusFile refused(const char* name, Refusal refusal, const char* why) {
  return {name, false, 0, 0, 0, refusal, Peer::ownRuleOnly, why, nullptr};
}

constexpr const char* k16 = "16-bit channels are (v & mask) >> shift, scaled by 8 (31 -> 248, not 255)";
constexpr const char* kRle = "run-length compression is not read";
constexpr const char* kFields32 = "compression 3 (bit fields) is read only at 16 bits";
constexpr const char* kOs2 = "12-byte header read as 40 bytes: the compression field lands in the colour table";

const std::vector<CorpusFile>& corpus() {
  static const std::vector<CorpusFile> files = {
      // Decoders cannot differ on these: compared with ImageMagick.
      peer("g/pal1.bmp", 1), peer("g/pal1bg.bmp", 1), peer("g/pal1wb.bmp", 1),
      peer("g/pal4.bmp", 4), peer("g/pal4gs.bmp", 4), peer("g/pal8-0.bmp", 8),
      peer("g/pal8.bmp", 8), peer("g/pal8gs.bmp", 8), peer("g/pal8nonsquare.bmp", 8, 127, 32),
      peer("g/pal8v4.bmp", 8), peer("g/pal8v5.bmp", 8), peer("g/pal8w124.bmp", 8, 124, 61),
      peer("g/pal8w125.bmp", 8, 125, 62), peer("g/pal8w126.bmp", 8, 126, 63),
      peer("g/rgb24.bmp", 24), peer("g/rgb24pal.bmp", 24), peer("g/rgb32.bmp", 32),
      peer("q/pal1p1.bmp", 1),     // one table entry, and every pixel uses index 0
      peer("q/pal8offs.bmp", 8),   // gap between table and pixels
      peer("q/rgb24largepal.bmp", 24), peer("q/rgb24lprof.bmp", 24),
      peer("q/rgb32fakealpha.bmp", 32), peer("b/badbitssize.bmp", 1), peer("b/baddens1.bmp", 1),
      peer("b/baddens2.bmp", 1),
      peer("b/badheadersize.bmp", 1),  // 66-byte header: the table follows it

      // Loaded, checked by our own rules only.
      own("g/rgb16.bmp", 16, k16), own("g/rgb16bfdef.bmp", 16, k16, "g/rgb16.bmp"),
      own("g/rgb16-565.bmp", 16, k16), own("g/rgb16-565pal.bmp", 16, k16, "g/rgb16-565.bmp"),
      own("q/rgb16-231.bmp", 16, k16), own("q/rgb16-3103.bmp", 16, k16),
      own("q/rgb16faketrns.bmp", 16, k16, "g/rgb16.bmp"), own("q/rgba16-1924.bmp", 16, k16),
      own("q/rgba16-4444.bmp", 16, k16), own("q/rgba16-5551.bmp", 16, k16, "g/rgb16.bmp"),
      own("b/rgb16-880.bmp", 16, k16),
      own("q/pal8os2v2-16.bmp", 8,
          "16-byte header read as 40 bytes: the table is taken from offset 54, 24 bytes into the "
          "real one, so index i shows the file's entry i + 6"),
      own("q/pal8os2v2.bmp", 8, "64-byte header; ImageMagick decodes other colours", "g/pal8.bmp"),
      own("q/pal8os2v2-sz.bmp", 8, "ImageMagick refuses it (bfSize does not match)", "g/pal8.bmp"),
      own("q/pal8os2v2-40sz.bmp", 8, "ImageMagick refuses it (bfSize does not match)", "g/pal8.bmp"),
      own("q/pal8oversizepal.bmp", 8,
          "ImageMagick refuses 300 colours; the table is limited to 256 and the rest is a gap",
          "g/pal8.bmp"),
      own("b/badpalettesize.bmp", 8, "biClrUsed is not read; ImageMagick refuses it", "g/pal8.bmp"),
      own("b/badplanes.bmp", 1, "biPlanes is not read; ImageMagick refuses it", "g/pal1.bmp"),
      own("b/badfilesize.bmp", 1, "bfSize is not read; ImageMagick refuses it", "g/pal1.bmp"),
      own("b/pal8badindex.bmp", 8,
          "indexes past the 101 table entries are white with alpha 0; ImageMagick refuses them"),
      own("b/shortfile.bmp", 1, "truncated: rows with no data stay white; ImageMagick refuses it"),

      // Refused.
      refused("README.md", Refusal::badMagic, "not a BMP file"),
      refused("g/pal4rle.bmp", Refusal::compression, kRle),
      refused("g/pal8rle.bmp", Refusal::compression, kRle),
      refused("g/pal8os2.bmp", Refusal::compression, kOs2),
      refused("g/pal8topdown.bmp", Refusal::size, "negative height (top-down rows)"),
      refused("g/rgb32bf.bmp", Refusal::compression, kFields32),
      refused("g/rgb32bfdef.bmp", Refusal::compression, kFields32),
      refused("q/pal1huffmsb.bmp", Refusal::compression, "compression 3 at 1 bit (Huffman)"),
      refused("q/pal2.bmp", Refusal::depth, "2 bits per pixel"),
      refused("q/pal2color.bmp", Refusal::depth, "2 bits per pixel"),
      refused("q/pal4rlecut.bmp", Refusal::compression, kRle),
      refused("q/pal4rletrns.bmp", Refusal::compression, kRle),
      refused("q/pal8os2-hs.bmp", Refusal::compression, kOs2),
      refused("q/pal8os2-sz.bmp", Refusal::compression, kOs2),
      refused("q/pal8os2sp.bmp", Refusal::compression, kOs2),
      refused("q/pal8rlecut.bmp", Refusal::compression, kRle),
      refused("q/pal8rletrns.bmp", Refusal::compression, kRle),
      refused("q/rgb24jpeg.bmp", Refusal::compression, "embedded JPEG (compression 4)"),
      refused("q/rgb24png.bmp", Refusal::compression, "embedded PNG (compression 5)"),
      refused("q/rgb24rle24.bmp", Refusal::compression, "24-bit run-length (compression 4)"),
      refused("q/rgb32-111110.bmp", Refusal::compression, kFields32),
      refused("q/rgb32-7187.bmp", Refusal::compression, kFields32),
      refused("q/rgb32-xbgr.bmp", Refusal::compression, kFields32),
      refused("q/rgb32h52.bmp", Refusal::compression, kFields32),
      refused("q/rgba32-1.bmp", Refusal::compression, kFields32),
      refused("q/rgba32-1010102.bmp", Refusal::compression, kFields32),
      refused("q/rgba32-2.bmp", Refusal::compression, kFields32),
      refused("q/rgba32-61754.bmp", Refusal::compression, kFields32),
      refused("q/rgba32-81284.bmp", Refusal::compression, kFields32),
      refused("q/rgba32abf.bmp", Refusal::compression, "compression 6 (alpha bit fields)"),
      refused("q/rgba32h56.bmp", Refusal::compression, kFields32),
      refused("q/rgba64.bmp", Refusal::depth, "64 bits per pixel"),
      refused("b/badbitcount.bmp", Refusal::depth, "30000 bits per pixel"),
      refused("b/badrle.bmp", Refusal::compression, kRle),
      refused("b/badrle4.bmp", Refusal::compression, kRle),
      refused("b/badrle4bis.bmp", Refusal::compression, kRle),
      refused("b/badrle4ter.bmp", Refusal::compression, kRle),
      refused("b/badrlebis.bmp", Refusal::compression, kRle),
      refused("b/badrleter.bmp", Refusal::compression, kRle),
      refused("b/rletopdown.bmp", Refusal::compression, kRle),
      refused("b/badwidth.bmp", Refusal::size, "negative width"),
      refused("b/reallybig.bmp", Refusal::limit, "3000000 x 2000000 passes the pixel limit"),
  };
  return files;
}

fs::path suite() { return test::testdata() / "bmpsuite"; }

std::vector<uint8_t> fileBytes(const std::string& name) { return test::readBytes(suite() / name); }

// The first header check the reader fails, read straight off the bytes.
Refusal refusalOf(const std::vector<uint8_t>& f) {
  if (f.size() < 54 || getU16(f, 0) != 19778) return Refusal::badMagic;
  const uint16_t bits = getU16(f, 28);
  const uint32_t compression = getU32(f, 30);
  const auto width = static_cast<int32_t>(getU32(f, 18)), height = static_cast<int32_t>(getU32(f, 22));
  if (!(compression == 0 || (compression == 3 && bits == 16))) return Refusal::compression;
  if (bits != 1 && bits != 4 && bits != 8 && bits != 16 && bits != 24 && bits != 32) return Refusal::depth;
  if (width <= 0 || height <= 0) return Refusal::size;
  if (!Limits{}.allows(width, height)) return Refusal::limit;
  return Refusal::none;
}

struct Decoded {
  int32_t width = 0, height = 0;
  std::vector<BitmapPixel> pixels;  // row-major, row 0 at the top
  BitmapPixel at(int32_t x, int32_t y) const {
    return pixels[static_cast<size_t>(y) * static_cast<size_t>(width) + static_cast<size_t>(x)];
  }
};

// The reader's rules applied to the whole file at once, for files that pass the header checks:
//  - paletted: the table starts after a header longer than 40 bytes when that header ends at
//    or before bfOffBits, else at 54; it has (bfOffBits - start) / 4 entries, at most the
//    depth's count, and every other entry is white with alpha 0; the pixels start after the
//    entries read, plus whatever gap lies between the full-size table and bfOffBits;
//  - 16 bits with compression 3: masks at 54 (low 16 bits of each of three 4-byte words), data
//    at max(66, bfOffBits); without compression 5-5-5 masks and data at max(54, bfOffBits);
//    a channel is (v & mask) shifted right until the mask is at most 31, times 8;
//  - 24 and 32 bits: data at max(54, bfOffBits); 24 bits give alpha 0;
//  - rows bottom first, padded to 4 bytes; a row the file does not hold whole (a 16-bit pixel
//    the file does not hold whole) and everything after it stays white with alpha 0.
Decoded decodeByRule(const std::vector<uint8_t>& f) {
  Decoded d;
  const uint32_t infoSize = getU32(f, 14);
  d.width = static_cast<int32_t>(getU32(f, 18));
  d.height = static_cast<int32_t>(getU32(f, 22));
  const uint16_t bits = getU16(f, 28);
  const bool masked = getU32(f, 30) == 3;
  const int64_t offBits = static_cast<int32_t>(getU32(f, 10));
  d.pixels.assign(static_cast<size_t>(d.width) * static_cast<size_t>(d.height), kBlank);

  std::vector<BitmapPixel> table;
  int64_t dataAt = std::max<int64_t>(54, offBits);
  if (bits <= 8) {
    const int64_t count = int64_t{1} << bits;
    const int64_t tableAt = infoSize > 40 && 14 + int64_t{infoSize} <= offBits ? 14 + int64_t{infoSize} : 54;
    const int64_t entries = std::clamp<int64_t>((offBits - tableAt) / 4, 0, count);
    table.assign(static_cast<size_t>(count), kBlank);
    for (int64_t k = 0; k < entries; ++k) {
      const auto at = static_cast<size_t>(tableAt + 4 * k);
      if (at + 4 > f.size()) ADD_FAILURE() << "table entry " << k << " is not in the file";
      else table[static_cast<size_t>(k)] = BitmapPixel{f[at], f[at + 1], f[at + 2], f[at + 3]};
    }
    dataAt = tableAt + 4 * entries + std::max<int64_t>(0, offBits - tableAt - 4 * count);
  } else if (bits == 16 && masked) {
    dataAt = std::max<int64_t>(66, offBits);
  }

  uint16_t masks[3] = {0x7C00, 0x03E0, 0x001F};  // red, green, blue
  if (bits == 16 && masked) {
    for (size_t c = 0; c < 3; ++c) masks[c] = getU16(f, 54 + 4 * c);
  }
  auto channel16 = [](uint16_t v, uint16_t mask) {
    int shift = 0;
    while ((mask >> shift) > 31) ++shift;
    return static_cast<uint8_t>(((v & mask) >> shift) * 8);
  };

  const size_t rowBytes = (size_t{bits} * static_cast<size_t>(d.width) + 31) / 32 * 4;
  for (int32_t fileRow = 0; fileRow < d.height; ++fileRow) {
    const size_t rowAt = static_cast<size_t>(dataAt) + static_cast<size_t>(fileRow) * rowBytes;
    const int32_t y = d.height - 1 - fileRow;
    if (bits != 16 && rowAt + rowBytes > f.size()) break;
    for (int32_t x = 0; x < d.width; ++x) {
      const auto ux = static_cast<size_t>(x);
      BitmapPixel& p = d.pixels[static_cast<size_t>(y) * static_cast<size_t>(d.width) + ux];
      switch (bits) {
        case 1: p = table[(f[rowAt + ux / 8] >> (7 - ux % 8)) & 1u]; break;
        case 4: p = table[ux % 2 == 0 ? f[rowAt + ux / 2] >> 4 : f[rowAt + ux / 2] & 15u]; break;
        case 8: p = table[f[rowAt + ux]]; break;
        case 16: {
          if (rowAt + 2 * ux + 2 > f.size()) return d;
          const uint16_t v = getU16(f, rowAt + 2 * ux);
          p = BitmapPixel{channel16(v, masks[2]), channel16(v, masks[1]), channel16(v, masks[0]), 0};
          break;
        }
        case 24: p = BitmapPixel{f[rowAt + 3 * ux], f[rowAt + 3 * ux + 1], f[rowAt + 3 * ux + 2], 0}; break;
        default:
          p = BitmapPixel{f[rowAt + 4 * ux], f[rowAt + 4 * ux + 1], f[rowAt + 4 * ux + 2], f[rowAt + 4 * ux + 3]};
      }
    }
  }
  return d;
}

// Runs convert-im6.q16 FILE -depth 8 rgb:- and returns its standard output, or nothing (with
// a test failure) when the program cannot be started or fails.
std::optional<std::vector<uint8_t>> decodeWithImageMagick(const fs::path& file) {
  test::TempDir dir;
  const std::string out = dir.file("rgb");
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&fa, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
  std::vector<std::string> args = {"convert-im6.q16", file.string(), "-depth", "8", "rgb:-"};
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = 0;
  const int started = posix_spawnp(&pid, argv[0], &fa, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&fa);
  if (started != 0) {
    ADD_FAILURE() << "cannot run convert-im6.q16 (install the imagemagick package: scripts/setup.sh)";
    return std::nullopt;
  }
  int status = 0;
  waitpid(pid, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    ADD_FAILURE() << "convert-im6.q16 failed on " << file;
    return std::nullopt;
  }
  return test::readBytes(out);
}

void PrintTo(const CorpusFile& c, std::ostream* os) { *os << c.name; }

class Corpus : public ::testing::TestWithParam<CorpusFile> {};

// The table knows every file in the folder, and every file it lists is there.
TEST(CorpusTable, MatchesTheFolder) {
  std::set<std::string> onDisk, listed;
  for (const auto& entry : fs::recursive_directory_iterator(suite())) {
    if (entry.is_regular_file()) onDisk.insert(fs::relative(entry.path(), suite()).generic_string());
  }
  int loads = 0, refuses = 0, compared = 0;
  for (const auto& c : corpus()) {
    EXPECT_TRUE(listed.insert(c.name).second) << "listed twice: " << c.name;
    EXPECT_TRUE(onDisk.count(c.name)) << "listed but missing: " << c.name;
    (c.loads ? loads : refuses) += 1;
    compared += c.peer == Peer::imageMagick;
  }
  for (const auto& name : onDisk) EXPECT_TRUE(listed.count(name)) << "not in the table: " << name;
  // The counts docs/corpus.md gives (the README counts among the refused files).
  EXPECT_EQ(loads, 47);
  EXPECT_EQ(refuses, 42);
  EXPECT_EQ(compared, 26);
}

TEST_P(Corpus, LoadsOrIsRefusedAsListed) {
  const CorpusFile& c = GetParam();
  const fs::path path = suite() / c.name;
  const std::vector<uint8_t> bytes = fileBytes(c.name);
  EXPECT_EQ(refusalOf(bytes), c.refusal) << "the header does not show the listed reason";

  Bitmap bitmap;
  ASSERT_EQ(bitmap.loadFile(path.string()), c.loads);
  ImageStatus status = ImageStatus::ok;
  const auto image = Image::load(path.string(), {}, &status);
  EXPECT_EQ(image != nullptr, c.loads);

  if (!c.loads) {
    EXPECT_EQ(status, ImageStatus::loadFailed);
    EXPECT_EQ(bitmap.width(), 1);
    EXPECT_EQ(bitmap.height(), 1);
    EXPECT_EQ(bitmap.pixel(0, 0), kBlank);
    if (c.refusal == Refusal::badMagic) {
      EXPECT_EQ(bitmap.bitsPerPixel(), 24);  // untouched
      EXPECT_EQ(bitmap.xPixelsPerMeter(), 0);
    } else {
      EXPECT_EQ(bitmap.bitsPerPixel(), 1);
      EXPECT_EQ(bitmap.xPixelsPerMeter(), static_cast<int32_t>(getU32(bytes, 38)));
      EXPECT_EQ(bitmap.yPixelsPerMeter(), static_cast<int32_t>(getU32(bytes, 42)));
    }
    return;
  }

  ASSERT_EQ(bitmap.bitsPerPixel(), c.bits);
  ASSERT_EQ(bitmap.width(), c.width);
  ASSERT_EQ(bitmap.height(), c.height);
  EXPECT_EQ(bitmap.colorTable().size(), c.bits <= 8 ? size_t{1} << c.bits : 0u);
  EXPECT_EQ(bitmap.xPixelsPerMeter(), static_cast<int32_t>(getU32(bytes, 38)));

  const Decoded want = decodeByRule(bytes);
  ASSERT_EQ(want.width, c.width);
  ASSERT_EQ(want.height, c.height);
  int wrong = 0;
  for (int32_t y = 0; y < c.height; ++y) {
    for (int32_t x = 0; x < c.width; ++x) {
      if (bitmap.pixel(x, y) == want.at(x, y)) continue;
      if (++wrong <= 3) ADD_FAILURE() << "rule decode differs at " << x << "," << y;
    }
  }
  EXPECT_EQ(wrong, 0);

  ASSERT_TRUE(image);
  for (int32_t y = 0; y < c.height; ++y) {
    for (int32_t x = 0; x < c.width; ++x) {
      const BitmapPixel b = bitmap.pixel(x, y);
      const Pixel p = image->pixel(x, y);
      ASSERT_TRUE(p.r == b.red && p.g == b.green && p.b == b.blue && p.a == b.alpha) << x << "," << y;
    }
  }

  if (c.sameAs != nullptr) {
    Bitmap sibling;
    ASSERT_TRUE(sibling.loadFile((suite() / c.sameAs).string()));
    ASSERT_EQ(sibling.width(), c.width);
    ASSERT_EQ(sibling.height(), c.height);
    for (int32_t y = 0; y < c.height; ++y)
      for (int32_t x = 0; x < c.width; ++x)
        ASSERT_EQ(bitmap.pixel(x, y), sibling.pixel(x, y)) << c.sameAs << " at " << x << "," << y;
  }

  if (c.peer == Peer::imageMagick) {
    const auto rgb = decodeWithImageMagick(path);
    ASSERT_TRUE(rgb);
    ASSERT_EQ(rgb->size(), size_t{3} * static_cast<size_t>(c.width) * static_cast<size_t>(c.height));
    int differ = 0;
    for (int32_t y = 0; y < c.height; ++y) {
      for (int32_t x = 0; x < c.width; ++x) {
        const size_t at = 3 * (static_cast<size_t>(y) * static_cast<size_t>(c.width) + static_cast<size_t>(x));
        const BitmapPixel b = bitmap.pixel(x, y);
        if (b.red == (*rgb)[at] && b.green == (*rgb)[at + 1] && b.blue == (*rgb)[at + 2]) continue;
        if (++differ <= 3) ADD_FAILURE() << "ImageMagick differs at " << x << "," << y;
      }
    }
    EXPECT_EQ(differ, 0);
  }
}

std::string testName(const ::testing::TestParamInfo<CorpusFile>& info) {
  std::string name = info.param.name;
  for (char& ch : name)
    if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
  return name;
}

INSTANTIATE_TEST_SUITE_P(Suite, Corpus, ::testing::ValuesIn(corpus()), testName);

}  // namespace
}  // namespace bmpfun
