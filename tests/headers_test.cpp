// The headers parsed once: the field table every face lists, the default reading of the
// headers for display, and read errors inside the first bytes, which both readers read ahead
// but must report where they happened.
#include <bmpfun/bmp.hpp>

#include "bmp/extended_reader.hpp"
#include "bmp/headers.hpp"
#include "bmp/reader.hpp"
#include "support/test_support.hpp"

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

namespace bmpfun {
namespace {

// Each part of the table covers its bytes without a gap or an overlap.
TEST(HeaderFields, EachPartCoversItsBytes) {
  const detail::HeaderFieldTable& t = detail::headerFields();
  const struct {
    const char* part;
    std::span<const detail::HeaderField> fields;
    uint32_t from, to, count;
  } parts[] = {
      {"file", t.file, 0, 14, 5},          {"OS/2 1.x", t.os2v1, 14, 26, 5},
      {"40 bytes", t.windows40, 14, 54, 11}, {"V5 additions", t.windowsExtra, 54, 138, 21},
      {"OS/2 2.x additions", t.os2v2Extra, 54, 78, 8}, {"masks after", t.masksAfter, 0, 16, 4},
  };
  for (const auto& p : parts) {
    EXPECT_EQ(p.fields.size(), p.count) << p.part;
    uint32_t at = p.from;
    for (const detail::HeaderField& f : p.fields) {
      EXPECT_EQ(f.at, at) << p.part << ": " << f.name;
      at += f.bytes;
    }
    EXPECT_EQ(at, p.to) << p.part;
  }
}

std::string lines(const BmpHeaderView& view) {
  std::string text = view.kind.empty() ? "" : "header: " + view.kind + "\n";
  for (const BmpField& f : view.fields) text += f.name + "=" + f.value + "\n";
  return text;
}

// The default reading: the 16 fields in decimal whatever the header, the records' partial
// fields for a short file, a short OS/2 header's own fields, and readHeadersOf's refusals.
TEST(HeaderFields, DefaultReading) {
  std::vector<uint8_t> v5 = test::makeBmp({.width = -3, .bits = 32, .compression = 3, .infoSize = 124});
  std::vector<uint8_t> cut = v5;
  cut.resize(21);  // biWidth's first three bytes arrive: 0xFFFFFD over the constructed 0
  std::vector<uint8_t> os2 = test::makeBmp({.bits = 8, .infoSize = 12});
  const struct {
    const char* file;
    std::vector<uint8_t> bytes;
    std::string text;  // "name=value" lines, or the refusal
  } cases[] = {
      {"V5", v5,
       "bfType=19778\nbfSize=" + std::to_string(v5.size()) + "\nbfReserved1=0\nbfReserved2=0\nbfOffBits=54\n"
       "biSize=124\nbiWidth=-3\nbiHeight=1\nbiPlanes=1\nbiBitCount=32\nbiCompression=3\nbiSizeImage=0\n"
       "biXPelsPerMeter=3780\nbiYPelsPerMeter=3780\nbiClrUsed=0\nbiClrImportant=0\n"},
      {"cut", cut,
       "bfType=19778\nbfSize=" + std::to_string(v5.size()) + "\nbfReserved1=0\nbfReserved2=0\nbfOffBits=54\n"
       "biSize=124\nbiWidth=16777213\nbiHeight=0\nbiPlanes=1\nbiBitCount=0\nbiCompression=0\nbiSizeImage=0\n"
       "biXPelsPerMeter=3780\nbiYPelsPerMeter=3780\nbiClrUsed=0\nbiClrImportant=0\n"},
      {"OS/2 1.x", os2, ""},
      {"one byte", {'B'}, "the headers are cut short (1 bytes; they need 54)"},
      {"not BMP", {'B', 'A', 0}, "not a BMP file (it does not start with \"BM\")"},
  };
  for (const auto& c : cases) {
    BmpHeaderView view, extended;
    BmpStatus status;
    const bool ok = describeHeaders(c.bytes, view, &status, HeaderReading::byDefault);
    if (c.text.empty()) {  // the extended reading's
      ASSERT_TRUE(describeHeaders(c.bytes, extended)) << c.file;
      EXPECT_EQ(lines(view), lines(extended)) << c.file;
      EXPECT_EQ(view.kind, "OS/2 1.x (12 bytes)");
    } else {
      EXPECT_EQ(ok ? lines(view) : to_string(status), c.text) << c.file;
    }
  }
}

// `bmpfun info` reads the headers once: an OS/2 1.x file on a pipe gives its own fields (it was
// opened a second time for them, and the pipe then held no "BM").
TEST(HeaderFields, InfoReadsAPipeOnce) {
  const std::vector<uint8_t> os2 = test::readBytes(test::testdata() / "bmpsuite/g/pal8os2.bmp");
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  ASSERT_EQ(write(fds[1], os2.data(), os2.size()), static_cast<ssize_t>(os2.size()));
  close(fds[1]);
  const test::RunResult r = test::runCli({"info", "/dev/fd/" + std::to_string(fds[0])});
  close(fds[0]);
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.out.substr(0, r.out.find('\n')), "header: OS/2 1.x (12 bytes)");
  EXPECT_NE(r.out.find("\nbcWidth: 127\nbcHeight: 64\n"), std::string::npos) << r.out;
}

// The picture's size as the readers see it: an OS/2 1.x header's 16-bit sides, a top-down
// file's rows; what is no picture size fails.
TEST(HeaderFields, PictureSizeOfAFile) {
  std::vector<uint8_t> wide = test::readBytes(test::testdata() / "bmpsuite/g/pal8os2.bmp");
  wide[18] = 0xFF, wide[19] = 0xFF, wide[20] = 0x00, wide[21] = 0x90;  // 65535 x 36864
  const struct { const char* what; std::vector<uint8_t> bytes; bool ok; int64_t width, height; } cases[] = {
      {"40 bytes", test::makeBmp({.width = 3, .height = 2}), true, 3, 2},
      {"top-down", test::makeBmp({.width = 3, .height = -2}), true, 3, 2},
      {"OS/2 1.x, 16-bit sides", wide, true, 65535, 36864},
      {"not a BMP file", std::vector<uint8_t>(60, 'x'), false, 0, 0},
      {"cut inside the size", std::vector<uint8_t>(wide.begin(), wide.begin() + 20), false, 0, 0},
  };
  test::TempDir dir;
  for (const auto& c : cases) {
    test::writeBytes(dir.file("in.bmp"), c.bytes);
    int64_t width = -1, height = -1;
    EXPECT_EQ(pictureSizeOf(dir.file("in.bmp"), width, height), c.ok) << c.what;
    EXPECT_EQ(width, c.width) << c.what;
    EXPECT_EQ(height, c.height) << c.what;
  }
}

// A source whose bytes stop at failAt with a read error.
class FailingSource final : public detail::ByteSource {
 public:
  FailingSource(const std::vector<uint8_t>& bytes, size_t failAt) : bytes_(bytes), failAt_(failAt) {}
  size_t read(void* buffer, size_t count) override {
    const size_t n = static_cast<size_t>(pass(count));
    std::memcpy(buffer, bytes_.data() + at_ - n, n);
    return n;
  }
  uint64_t skip(uint64_t count) override { return pass(count); }
  bool eof() const override { return ended_; }
  int error() const override { return error_; }
  uint64_t offset() const override { return at_; }

 private:
  uint64_t pass(uint64_t count) {
    if (ended_) return 0;
    const size_t end = std::min(bytes_.size(), failAt_);
    const size_t n = static_cast<size_t>(std::min<uint64_t>(count, end - at_));
    at_ += n;
    if (n < count) {
      ended_ = true;
      if (at_ == failAt_) error_ = EIO;
    }
    return n;
  }
  const std::vector<uint8_t>& bytes_;
  size_t failAt_;
  size_t at_ = 0;
  bool ended_ = false;
  int error_ = 0;
};

class NullSink final : public detail::RowSink {
 public:
  explicit NullSink(size_t width) : row_(width) {}
  BitmapPixel* row(size_t) override { return row_.data(); }
  void rowDone(size_t) override {}
  void makeRowOpaque(size_t) override {}

 private:
  std::vector<BitmapPixel> row_;
};

// The stage a reader fails at with readFailed (0: headers, 1: format, 2: rows; 3: none).
template <typename Reader>
int failingStage(const std::vector<uint8_t>& file, size_t failAt) {
  FailingSource source(file, failAt);
  const Limits limits;
  Reader reader(source, limits);
  BmpStatus status;
  NullSink sink(4);
  int stage = 0;
  if (reader.readHeaders(status) && ++stage && reader.checkFormat(status) && ++stage) {
    reader.readTable(status);
    if (reader.readRows(sink, status)) ++stage;
  }
  EXPECT_EQ(status.cause, stage == 3 ? BmpCause::ok : BmpCause::readFailed) << failAt;
  EXPECT_EQ(status.systemError, stage == 3 ? 0 : EIO) << failAt;
  return stage;
}

// Both readers read the first 154 bytes ahead. The default reader reads its headers as if
// field by field, so an error past its 54 bytes shows when the rows reach it; the extended
// reader fails on any error in the bytes it keeps.
TEST(HeadedInput, ReadErrorsShowWhereTheyHappen) {
  const std::vector<uint8_t> file =
      test::makeBmp({.width = 4, .height = 16, .bits = 24, .pixelData = std::vector<uint8_t>(16 * 12, 7)});
  ASSERT_EQ(file.size(), 246u);
  const struct {
    size_t failAt;
    int byDefault, extended;
  } cases[] = {{0, 0, 0}, {1, 0, 0}, {53, 0, 0}, {54, 2, 0}, {100, 2, 0}, {153, 2, 0},
               {154, 2, 2}, {200, 2, 2}, {245, 2, 2}, {246, 3, 3}};
  for (const auto& c : cases) {
    EXPECT_EQ(failingStage<detail::BmpReader>(file, c.failAt), c.byDefault) << c.failAt;
    EXPECT_EQ(failingStage<detail::ExtendedReader>(file, c.failAt), c.extended) << c.failAt;
  }
}

}  // namespace
}  // namespace bmpfun
