// Every file of the public BMP test suite (testdata/bmpsuite) through both readers.
//
// The default reader: whether it loads or refuses the file (with which cause, and whether the
// refusal says the extended reader reads it), and what a loaded file decodes to. Two
// independent checks of the pixels:
//  - files whose encoding leaves a decoder no choice (24 bits, 32 bits uncompressed, paletted
//    files whose table covers every index used) must equal, in red, green and blue, what
//    Debian's ImageMagick decodes (pinned as checksums by scripts/pin_peer_decodes.sh);
//  - every file must be taken as the tests' reference decoder (tests/support/reference_bmp.hpp)
//    takes its bytes by the default reader's rules: the same verdict and cause, and for a
//    loaded file the same depth, table, resolution, pixels and rows read; some must also
//    equal a sibling file that holds the same picture.
// The extended reader: the verdict, the depth the bitmap keeps, and the checksum of the RGBA
// decode, pinned; whether that decode equals ImageMagick's, and where not, why.
// The files left out of the comparisons and why are listed in the tables below and in
// docs/corpus.md.
#include <bmpfun/bmp.hpp>
#include <bmpfun/image.hpp>

#include "support/reference_bmp.hpp"
#include "support/sha256.hpp"
#include "support/test_support.hpp"

#include <gtest/gtest.h>

#include <cctype>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace bmpfun {
namespace {

namespace fs = std::filesystem;
using test::getU32;

constexpr BitmapPixel kBlank{255, 255, 255, 0};

// What ImageMagick 6 (convert-im6.q16) made of each file, pinned by scripts/pin_peer_decodes.sh.
enum class PeerVerdict { decoded, warned, refused };
struct PeerDecode {
  PeerVerdict verdict;
  const char* rgb;   // SHA-256 of the 8-bit RGB decode
  const char* rgba;  // ... and of the RGBA decode
};
const std::map<std::string, PeerDecode>& peerDecodes() {
  static const std::map<std::string, PeerDecode> decodes = {
#define PEER(name, verdict, rgb, rgba) {name, {verdict, rgb, rgba}},
#define ALPHA_FILE(name, file, rgba)
#include "corpus_peers.inc"
#undef PEER
#undef ALPHA_FILE
  };
  return decodes;
}

// How a loaded file's pixels are checked besides the rule decode below.
enum class Peer { imageMagick, ownRuleOnly };

struct CorpusFile {
  const char* name;  // path under bmpsuite/
  bool loads;
  int32_t bits, width, height;  // what a loaded file gives
  BmpCause cause;               // why a refused file is refused
  bool extendedReads;           // ... and whether the refusal says the extended reader reads it
  Peer peer;
  const char* why;              // why it is refused, or left out of the ImageMagick comparison
  const char* sameAs;           // a file that must decode to exactly the same pixels
};

CorpusFile peer(const char* name, int32_t bits, int32_t width = 127, int32_t height = 64) {
  return {name, true, bits, width, height, BmpCause::ok, false, Peer::imageMagick, "", nullptr};
}
CorpusFile own(const char* name, int32_t bits, const char* why, const char* sameAs = nullptr) {
  return {name, true, bits, 127, 64, BmpCause::ok, false, Peer::ownRuleOnly, why, sameAs};
}
// Refused by the default reader, read by the extended one.
CorpusFile extended(const char* name, BmpCause cause, const char* why) {
  return {name, false, 0, 0, 0, cause, true, Peer::ownRuleOnly, why, nullptr};
}
// Refused by both readers.
CorpusFile refused(const char* name, BmpCause cause, const char* why) {
  return {name, false, 0, 0, 0, cause, false, Peer::ownRuleOnly, why, nullptr};
}

constexpr const char* k16 = "16-bit channels are (v & mask) >> shift, scaled by 8 (31 -> 248, not 255)";
constexpr const char* kRle = "run-length compression is not read";
constexpr const char* kFields32 = "compression 3 (bit fields) is read only at 16 bits";
constexpr const char* kOs2 = "12-byte header read as 40 bytes: the compression field lands in the colour table";

const std::vector<CorpusFile>& corpus() {
  using C = BmpCause;
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
      refused("README.md", BmpCause::notBmp, "not a BMP file"),
      extended("g/pal4rle.bmp", C::unsupportedCompression, kRle),
      extended("g/pal8rle.bmp", C::unsupportedCompression, kRle),
      extended("g/pal8os2.bmp", C::unsupportedHeader, kOs2),
      extended("q/pal8os2v2-16.bmp", C::unsupportedHeader,
               "16-byte header: read as 40 bytes, its last 24 would be colour-table bytes"),
      extended("g/pal8topdown.bmp", C::topDown, "negative height (top-down rows)"),
      extended("g/rgb32bf.bmp", C::unsupportedCompression, kFields32),
      extended("g/rgb32bfdef.bmp", C::unsupportedCompression, kFields32),
      refused("q/pal1huffmsb.bmp", C::unsupportedCompression, "compression 3 at 1 bit (Huffman)"),
      extended("q/pal2.bmp", C::unsupportedDepth, "2 bits per pixel"),
      extended("q/pal2color.bmp", C::unsupportedDepth, "2 bits per pixel"),
      extended("q/pal4rlecut.bmp", C::unsupportedCompression, kRle),
      extended("q/pal4rletrns.bmp", C::unsupportedCompression, kRle),
      extended("q/pal8os2-hs.bmp", C::unsupportedHeader, kOs2),
      extended("q/pal8os2-sz.bmp", C::unsupportedHeader, kOs2),
      extended("q/pal8os2sp.bmp", C::unsupportedHeader, kOs2),
      extended("q/pal8rlecut.bmp", C::unsupportedCompression, kRle),
      extended("q/pal8rletrns.bmp", C::unsupportedCompression, kRle),
      refused("q/rgb24jpeg.bmp", C::unsupportedCompression, "embedded JPEG (compression 4)"),
      refused("q/rgb24png.bmp", C::unsupportedCompression, "embedded PNG (compression 5)"),
      refused("q/rgb24rle24.bmp", C::unsupportedCompression, "24-bit run-length (compression 4)"),
      extended("q/rgb32-111110.bmp", C::unsupportedCompression, kFields32),
      extended("q/rgb32-7187.bmp", C::unsupportedCompression, kFields32),
      extended("q/rgb32-xbgr.bmp", C::unsupportedCompression, kFields32),
      extended("q/rgb32h52.bmp", C::unsupportedCompression, kFields32),
      extended("q/rgba32-1.bmp", C::unsupportedCompression, kFields32),
      extended("q/rgba32-1010102.bmp", C::unsupportedCompression, kFields32),
      extended("q/rgba32-2.bmp", C::unsupportedCompression, kFields32),
      extended("q/rgba32-61754.bmp", C::unsupportedCompression, kFields32),
      extended("q/rgba32-81284.bmp", C::unsupportedCompression, kFields32),
      extended("q/rgba32abf.bmp", C::unsupportedCompression, "compression 6 (alpha bit fields)"),
      extended("q/rgba32h56.bmp", C::unsupportedCompression, kFields32),
      refused("q/rgba64.bmp", C::unsupportedDepth, "64 bits per pixel"),
      refused("b/badbitcount.bmp", C::unsupportedDepth, "30000 bits per pixel"),
      extended("b/badrle.bmp", C::unsupportedCompression, kRle),
      extended("b/badrle4.bmp", C::unsupportedCompression, kRle),
      extended("b/badrle4bis.bmp", C::unsupportedCompression, kRle),
      extended("b/badrle4ter.bmp", C::unsupportedCompression, kRle),
      extended("b/badrlebis.bmp", C::unsupportedCompression, kRle),
      extended("b/badrleter.bmp", C::unsupportedCompression, kRle),
      extended("b/rletopdown.bmp", C::unsupportedCompression, kRle),
      refused("b/badwidth.bmp", C::badSize, "negative width"),
      refused("b/reallybig.bmp", C::tooLarge, "3000000 x 2000000 passes the pixel limit"),
  };
  return files;
}

fs::path suite() { return test::testdata() / "bmpsuite"; }

std::vector<uint8_t> fileBytes(const std::string& name) { return test::readBytes(suite() / name); }

// The SHA-256 of an image's pixels as 8-bit RGB (alpha false) or RGBA, the forms the
// pinned peer decodes take.
std::string pixelDigest(const Image& image, bool alpha) {
  std::vector<uint8_t> bytes;
  bytes.reserve(image.pixels().size() * 4);
  for (const Pixel& p : image.pixels()) {
    bytes.insert(bytes.end(), {p.r, p.g, p.b});
    if (alpha) bytes.push_back(p.a);
  }
  return test::sha256Hex(bytes);
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
  EXPECT_EQ(loads, 46);
  EXPECT_EQ(refuses, 43);
  EXPECT_EQ(compared, 26);
  EXPECT_EQ(peerDecodes().size(), onDisk.size() - 1) << "scripts/pin_peer_decodes.sh pins every BMP file";
}

TEST_P(Corpus, LoadsOrIsRefusedAsListed) {
  const CorpusFile& c = GetParam();
  const fs::path path = suite() / c.name;
  const std::vector<uint8_t> bytes = fileBytes(c.name);

  Bitmap bitmap;
  BmpStatus codec;
  ASSERT_EQ(bitmap.loadFile(path.string(), {}, &codec), c.loads);
  EXPECT_EQ(codec.cause, c.cause) << to_string(codec);
  EXPECT_EQ(reference::loadDifference(bitmap, c.loads, codec, bytes), "");
  EXPECT_EQ(codec.extendedReads, c.extendedReads) << to_string(codec);
  Status status{.cause = Cause::ok};
  const auto image = Image::load(path.string(), {}, &status);
  EXPECT_EQ(image != nullptr, c.loads);

  if (!c.loads) {
    EXPECT_EQ(status.cause, c.cause);
    EXPECT_EQ(bitmap.width(), 1);
    EXPECT_EQ(bitmap.height(), 1);
    EXPECT_EQ(bitmap.pixel(0, 0), kBlank);
    if (c.cause == BmpCause::notBmp) {
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
    const PeerDecode& im = peerDecodes().at(c.name);
    EXPECT_EQ(im.verdict, PeerVerdict::decoded);
    EXPECT_EQ(pixelDigest(*image, false), im.rgb) << "ImageMagick decodes other colours";
  }
}

template <typename File>
std::string testName(const ::testing::TestParamInfo<File>& info) {
  std::string name = info.param.name;
  for (char& ch : name)
    if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
  return name;
}

INSTANTIATE_TEST_SUITE_P(Suite, Corpus, ::testing::ValuesIn(corpus()), testName<CorpusFile>);

// ---- The extended reader

// How the extended decode relates to ImageMagick's.
enum class VsPeer {
  same,          // the RGBA decodes are equal
  sameRgb,       // red, green and blue are equal; the alpha is not (why says how)
  gapsAsEntry0,  // equal once every pixel the file does not draw is table entry 0, opaque
  differs,       // why says how
  peerRefuses,
};

struct ExtendedFile {
  const char* name;
  BmpCause cause;        // ok for a file it reads
  int32_t depth;         // the depth the bitmap keeps
  int32_t width, height;
  const char* rgba;      // SHA-256 of the decode as RGBA; for a refused file, the reason printed
  VsPeer vsPeer;
  const char* why;       // why it is not the same as ImageMagick's decode
  const char* warning;   // warningText of the read ("" for none)
};

ExtendedFile reads(const char* name, int32_t depth, const char* rgba, VsPeer vsPeer = VsPeer::same,
                   const char* why = "", const char* warning = "") {
  return {name, BmpCause::ok, depth, 127, 64, rgba, vsPeer, why, warning};
}
ExtendedFile readsSized(const char* name, int32_t width, int32_t height, const char* rgba) {
  return {name, BmpCause::ok, 8, width, height, rgba, VsPeer::same, "", ""};
}
ExtendedFile refuses(const char* name, BmpCause cause, const char* reason) {
  return {name, cause, 0, 0, 0, reason, VsPeer::peerRefuses, "", ""};
}

// Pictures several files share.
constexpr const char* kPal1 = "54483daf3c817e923ab0c4fa54f15b81e8d515522319e616be5477542ad9ae8a";
constexpr const char* kPal4 = "2b322fe79adba0175a70554025496bcb2140a63a08121e977c6027a1ef2161d6";
constexpr const char* kPal8 = "9f33d52c158d285928d5c27e5b59b84aaa26a53ab5d204383d72889c6f6d9051";
constexpr const char* kRgb = "ac4dbaf6110c3f2c88edb4221e90dd2567525b25cd1c1c736aafd584b206d053";
constexpr const char* kRgba = "71ff34dcb94a17b8a7b939e98c897776799cbf55ae74d724387fbd4f32fa584c";
constexpr const char* kRgb555 = "d6f27086a528ceb4c6cc731c067730f936c7d760470c5e05d3d79c5a4b711929";
constexpr const char* kRgb565 = "2a018aed0053eb0783adb970dbcb7f6c373459fdfbdb16ad855d407bf33e754e";

// Why a decode differs from ImageMagick's.
constexpr const char* kScaled =
    "a field of n bits is round(v * 255 / (2^n - 1)); ImageMagick replicates bits (1 lower at some 5-, 6- and "
    "7-bit values), maps 1-bit and 2-bit fields to 128 and 64 steps and wide fields 1 lower";
constexpr const char* kRunsDropped =
    "runs past the row end are dropped; ImageMagick wraps them into the next row, and paints what the file "
    "does not draw with table entry 0";
constexpr const char* kGaps = "what the file does not draw is (0, 0, 0, 0); ImageMagick paints it with table entry 0";

const std::vector<ExtendedFile>& extendedCorpus() {
  using C = BmpCause;
  using V = VsPeer;
  static const std::vector<ExtendedFile> files = {
      refuses("README.md", C::notBmp, "not a BMP file (it does not start with \"BM\")"),
      // What the default reader reads too.
      reads("g/pal1.bmp", 1, kPal1), reads("g/pal1bg.bmp", 1, "e1f6f0b4b6dcbc8a12399ff252b870cec77e693891e8cce2e6ce222fb39d54d7"),
      reads("g/pal1wb.bmp", 1, kPal1), reads("g/pal4.bmp", 4, kPal4),
      reads("g/pal4gs.bmp", 4, "0b54a312c54be1942741384a0c8b2c61f084db20631791f0bb3af82b9574a328"),
      reads("g/pal8-0.bmp", 8, kPal8), reads("g/pal8.bmp", 8, kPal8),
      reads("g/pal8gs.bmp", 8, "62b91414106a0a222da82f42f229f7f5af9d5c36ff8d560c4dfe68382a77f309"),
      readsSized("g/pal8nonsquare.bmp", 127, 32, "07c8f0b189542cbf6304bd0072971e637fc3e37e7ac3e11c40868a4be0b5d2a9"),
      reads("g/pal8v4.bmp", 8, kPal8), reads("g/pal8v5.bmp", 8, kPal8),
      readsSized("g/pal8w124.bmp", 124, 61, "a7484507638b3c9f9865b46d56b12d35b9207ec6ed7bd71df5fb1476375ccdaa"),
      readsSized("g/pal8w125.bmp", 125, 62, "cf4d45fe07f4e82ecfbcba4fdcb450cfad35fdae515ae3977732725ed309f2f8"),
      readsSized("g/pal8w126.bmp", 126, 63, "4f138661b2c5b934dd9fca0b7e719b2237d316c979400b325e9c03b713e0c4e0"),
      reads("g/rgb24.bmp", 24, kRgb), reads("g/rgb24pal.bmp", 24, kRgb), reads("g/rgb32.bmp", 32, kRgb),
      reads("q/pal1p1.bmp", 1, "492d975b93cc62a5d07c74a3a8dd76063eb7a22b3d1b0447562c80fabd12854c"),
      reads("q/pal8offs.bmp", 8, kPal8), reads("q/rgb24largepal.bmp", 24, kRgb),
      reads("q/rgb24lprof.bmp", 24, kRgb),
      reads("q/rgb32fakealpha.bmp", 32, kRgb, V::sameRgb,
            "the fourth byte of a 32-bit pixel without masks is padding; ImageMagick takes it as alpha"),
      reads("b/badbitssize.bmp", 1, kPal1), reads("b/baddens1.bmp", 1, kPal1), reads("b/baddens2.bmp", 1, kPal1),
      reads("b/badheadersize.bmp", 1, kPal1),
      reads("g/rgb16.bmp", 16, kRgb555, V::differs, kScaled), reads("g/rgb16bfdef.bmp", 16, kRgb555, V::differs, kScaled),
      reads("g/rgb16-565.bmp", 16, kRgb565, V::differs, kScaled),
      reads("g/rgb16-565pal.bmp", 16, kRgb565, V::differs, kScaled),
      reads("q/rgb16-231.bmp", 16, "658effd0494b902d5ad5c10e8e74e52894671f8c61115be9a21f491cf5438139", V::differs, kScaled),
      reads("q/rgb16-3103.bmp", 16, "95f36e4ab435205eff15cb165b5e299b2e23394940b2813ad4d0b1bb6aa5f2f8", V::differs, kScaled),
      reads("q/rgb16faketrns.bmp", 16, kRgb555, V::differs, kScaled),
      reads("q/rgba16-1924.bmp", 32, "a2ab9ff4d1c29dc2b155dc3d1809b21d795063a6aa13a5ae1774b919ab0c48a1", V::differs, kScaled),
      reads("q/rgba16-4444.bmp", 32, "0bfefeca0e2bb8504ca129b5d6e64e3d3695d8a0b1503ef1cae401034056dd17", V::differs, kScaled),
      reads("q/rgba16-5551.bmp", 32, "e0430104f3d311ac5f28b731e7ed30d7a3db2dd14fc867ed566fd150506cf6a1", V::differs, kScaled),
      reads("b/rgb16-880.bmp", 16, "1d59bddfa5820426da9b8e79e84f42af8ddca360c0478e500d44ef08188fdc36"),
      reads("q/pal8os2v2.bmp", 8, kPal8, V::differs, "ImageMagick reads the 64-byte OS/2 header's table as 3-byte entries"),
      reads("q/pal8os2v2-sz.bmp", 8, kPal8, V::differs, "ImageMagick reads the 64-byte OS/2 header's table as 3-byte entries"),
      reads("q/pal8os2v2-40sz.bmp", 8, kPal8),
      reads("q/pal8oversizepal.bmp", 8, kPal8, V::peerRefuses),
      reads("b/badpalettesize.bmp", 8, kPal8, V::peerRefuses),
      reads("b/badplanes.bmp", 1, kPal1, V::peerRefuses), reads("b/badfilesize.bmp", 1, kPal1, V::peerRefuses),
      reads("b/pal8badindex.bmp", 8, "7d137dbdd7f570b02c8ba34d41bec9eba1f33c1bf3da94e79af632680e65ba13", V::differs,
            "indices past the 101 table entries are opaque black; ImageMagick takes entry 0"),
      reads("b/shortfile.bmp", 1, "0432fc9695952fb1a4148bac3836d1cef8a6bebd6fe298e5b500657211139e79", V::peerRefuses,
            "", "the pixel data ends early: 13 of 64 rows arrived"),
      // What only the extended reader reads.
      reads("g/pal4rle.bmp", 4, kPal4), reads("g/pal8rle.bmp", 8, kPal8), reads("b/rletopdown.bmp", 8, kPal8),
      reads("g/pal8os2.bmp", 8, kPal8), reads("q/pal8os2-hs.bmp", 8, kPal8), reads("q/pal8os2-sz.bmp", 8, kPal8),
      reads("q/pal8os2sp.bmp", 8, kPal8), reads("q/pal8os2v2-16.bmp", 8, kPal8), reads("g/pal8topdown.bmp", 8, kPal8),
      reads("g/rgb32bf.bmp", 32, kRgb), reads("g/rgb32bfdef.bmp", 32, kRgb), reads("q/rgb32-xbgr.bmp", 32, kRgb),
      reads("q/rgb32h52.bmp", 32, kRgb),
      reads("q/rgb32-111110.bmp", 32, "6361fde37be3f0c3e9b8ff0a5592762bea6227d50c0576d68cf5e9143c4c0099", V::differs, kScaled),
      reads("q/rgb32-7187.bmp", 32, "1e4aa69ba28fcaad26feff3d014da0effee70cbca99d71a3043402707e3d3200", V::differs, kScaled),
      reads("q/rgba32-1.bmp", 32, kRgba), reads("q/rgba32-2.bmp", 32, kRgba), reads("q/rgba32h56.bmp", 32, kRgba),
      reads("q/rgba32abf.bmp", 32, kRgba, V::peerRefuses),
      reads("q/rgba32-1010102.bmp", 32, "9627373c64a151d2c15441df6528c742a7592113672ce702152e394434fa0929", V::differs, kScaled),
      reads("q/rgba32-61754.bmp", 32, "35be631b123d2563a530593e81d4df1716b0f3ac55f075e5765345a03fa0fcef", V::differs, kScaled),
      reads("q/rgba32-81284.bmp", 32, "9ab3ea01f92c23a202b6824ecca6f6f39b2d198271c8f68d97ce57913a452d92", V::differs, kScaled),
      reads("q/pal2.bmp", 4, "bc7e318d7a5e8b215bd67a85fae422cc121d06c97a74d31c6b6bd5b3f91779c1", V::peerRefuses),
      reads("q/pal2color.bmp", 4, "4456fcd6af728b89a7810f6c15b7dcd8a5b052586196f454df3e0c53d75bf291", V::peerRefuses),
      reads("q/pal4rletrns.bmp", 4, "99c7eb3eb2ebe6f3fe138d28c27556d463aa9cc6d068d68bc6c38e5f0fbfdf64", V::gapsAsEntry0, kGaps),
      reads("q/pal8rletrns.bmp", 8, "5ace1963d709082330efe0b3ae3e1a45d77d3b0b5e970661a2ec5a61018555fd", V::gapsAsEntry0, kGaps),
      reads("q/pal4rlecut.bmp", 4, "a500564072969e0760d0a3bb1e6f846b80f3bc13b234b4a58543944ad8c906d6", V::gapsAsEntry0, kGaps),
      reads("q/pal8rlecut.bmp", 8, "496263f28a68b9930960cc2f941840e7689142d9ef577e119f28afc8091d8ccc", V::gapsAsEntry0, kGaps),
      reads("b/badrle.bmp", 8, "e5fad392e43ffdec2d044a02c855b6211a316e1aba9776d1bbda73ed792c9222", V::differs, kRunsDropped),
      reads("b/badrlebis.bmp", 8, "d3cc81053453f8eef19056d5fa38bc7eeacad990fde8c1236e4050e075997e1d", V::differs, kRunsDropped),
      reads("b/badrleter.bmp", 8, "60e8b5617f6110c2dc05c7c36d14241506ef9f9e59d12d222b4e521469cb30a1", V::differs, kRunsDropped),
      reads("b/badrle4.bmp", 4, "0384fd5845fa43175aafc0fcc13fff9c2ff7892b7b13d573a09673f6dc6a0a6a", V::differs, kRunsDropped),
      reads("b/badrle4bis.bmp", 4, "a3e72e5080d9f7940e3ee881081ad3ee0f7d5158befcdf287dab362d0caa70e3", V::differs, kRunsDropped),
      reads("b/badrle4ter.bmp", 4, "c13045b918c0fc62a14b151cd0f6ec0b48a6d9c9a0313fc3ec8a65195cd73616", V::differs, kRunsDropped),
      // Refused, with the reason the command line prints.
      refuses("q/pal1huffmsb.bmp", C::unsupportedCompression, "OS/2 Huffman 1D compression is not supported"),
      refuses("q/rgb24rle24.bmp", C::unsupportedCompression, "OS/2 RLE24 compression is not supported"),
      refuses("q/rgb24jpeg.bmp", C::unsupportedCompression, "an embedded JPEG stream (compression 4) is not supported"),
      refuses("q/rgb24png.bmp", C::unsupportedCompression, "an embedded PNG stream (compression 5) is not supported"),
      refuses("q/rgba64.bmp", C::unsupportedDepth, "64 bits per pixel is not supported"),
      refuses("b/badbitcount.bmp", C::unsupportedDepth, "30000 bits per pixel is not supported"),
      refuses("b/badwidth.bmp", C::badSize,
              "a size of -127 x 64 is not supported (a picture needs at least one column and one row)"),
      refuses("b/reallybig.bmp", C::tooLarge, "3000000 x 2000000 pixels passes the limit of 268435456 pixels"),
  };
  return files;
}

void PrintTo(const ExtendedFile& c, std::ostream* os) { *os << c.name; }

class ExtendedCorpus : public ::testing::TestWithParam<ExtendedFile> {};

TEST(ExtendedCorpusTable, EveryFileOnceEightyRead) {
  std::set<std::string> listed;
  int reads = 0;
  for (const auto& c : extendedCorpus()) {
    EXPECT_TRUE(listed.insert(c.name).second) << "listed twice: " << c.name;
    reads += c.cause == BmpCause::ok;
  }
  std::set<std::string> all;
  for (const auto& c : corpus()) all.insert(c.name);
  EXPECT_EQ(listed, all);
  EXPECT_EQ(reads, 80);
}

TEST_P(ExtendedCorpus, VerdictDepthAndPinnedDecode) {
  const ExtendedFile& c = GetParam();
  const std::string path = (suite() / c.name).string();
  Limits limits;
  limits.extended = true;
  Bitmap bitmap;
  BmpStatus codec;
  ASSERT_EQ(bitmap.loadFile(path, limits, &codec), c.cause == BmpCause::ok) << to_string(codec);
  EXPECT_EQ(codec.cause, c.cause);
  if (c.cause != BmpCause::ok) {
    EXPECT_EQ(to_string(codec), c.rgba);
    EXPECT_EQ(bitmap.width(), 1);
    return;
  }
  EXPECT_EQ(warningText(codec), c.warning);
  ASSERT_EQ(bitmap.bitsPerPixel(), c.depth);
  EXPECT_EQ(bitmap.colorTable().size(), c.depth <= 8 ? size_t{1} << c.depth : 0u);
  ImageStatus status;
  const auto image = Image::load(path, limits, &status);
  ASSERT_TRUE(image);
  ASSERT_EQ(image->width(), c.width);
  ASSERT_EQ(image->height(), c.height);
  EXPECT_EQ(pixelDigest(*image, true), c.rgba);
  for (int32_t y = 0; y < c.height; ++y) {
    for (int32_t x = 0; x < c.width; ++x) {
      const BitmapPixel b = bitmap.pixel(x, y);
      ASSERT_TRUE(test::samePixel(image->pixel(x, y), Pixel{b.red, b.green, b.blue, b.alpha})) << x << "," << y;
    }
  }

  const PeerDecode& im = peerDecodes().at(c.name);
  const std::string rgba = pixelDigest(*image, true), rgb = pixelDigest(*image, false);
  switch (c.vsPeer) {
    case VsPeer::same: EXPECT_EQ(rgba, im.rgba); break;
    case VsPeer::sameRgb:
      EXPECT_EQ(rgb, im.rgb);
      EXPECT_NE(rgba, im.rgba);
      break;
    case VsPeer::gapsAsEntry0: {
      EXPECT_NE(rgba, im.rgba);
      const BitmapPixel entry0 = bitmap.colorTable().at(0);
      for (Pixel& p : image->pixels()) {
        if (p.a == 0) p = Pixel{entry0.red, entry0.green, entry0.blue, 255};
      }
      EXPECT_EQ(pixelDigest(*image, true), im.rgba);
      break;
    }
    case VsPeer::differs:
      EXPECT_NE(im.verdict, PeerVerdict::refused);
      EXPECT_NE(rgb, im.rgb);
      break;
    case VsPeer::peerRefuses: EXPECT_EQ(im.verdict, PeerVerdict::refused); break;
  }
}

INSTANTIATE_TEST_SUITE_P(Suite, ExtendedCorpus, ::testing::ValuesIn(extendedCorpus()), testName<ExtendedFile>);

// A 32-bit file with alpha masks, as `convert F OUT 32a` writes it from a suite file with
// alpha: ImageMagick decodes it to exactly the RGBA the extended reader gives (pinned by
// scripts/pin_peer_decodes.sh from the same bytes).
TEST(ExtendedCorpus, OtherProgramsSeeTheAlphaOf32aFiles) {
  struct AlphaFile {
    const char* name;
    const char* file;
    const char* peerRgba;
  };
  const AlphaFile files[] = {
#define PEER(name, verdict, rgb, rgba)
#define ALPHA_FILE(name, file, rgba) {name, file, rgba},
#include "corpus_peers.inc"
#undef PEER
#undef ALPHA_FILE
  };
  ASSERT_EQ(std::size(files), 3u);
  Limits limits;
  limits.extended = true;
  for (const AlphaFile& f : files) {
    Bitmap bitmap;
    ASSERT_TRUE(bitmap.loadFile((suite() / f.name).string(), limits)) << f.name;
    ASSERT_TRUE(bitmap.changeBitsPerPixel(32));
    std::vector<uint8_t> written;
    ASSERT_TRUE(bitmap.saveMemory(written, SaveOptions{.alphaMasks = true}));
    EXPECT_EQ(test::sha256Hex(written), f.file) << f.name << ": not the file ImageMagick was shown";
    const auto back = Image::loadMemory(written, limits);
    ASSERT_TRUE(back);
    EXPECT_EQ(pixelDigest(*back, true), f.peerRgba) << f.name;
    const auto source = Image::load((suite() / f.name).string(), limits);
    EXPECT_EQ(pixelDigest(*source, true), f.peerRgba) << f.name;
  }
}

}  // namespace
}  // namespace bmpfun
