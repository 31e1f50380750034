// The command-line program's contract: exit codes, where messages go, number syntax, and
// that usage errors are found before any file is touched.
#include "support/test_support.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

namespace bmpfun::test {
namespace {

class Cli : public ::testing::Test {
 protected:
  void SetUp() override {
    card = dir.file("card.bmp");
    ASSERT_EQ(runCli({"testcard", card, "20", "10"}).exitCode, 0);
  }
  TempDir dir;
  std::string card;
};

TEST_F(Cli, UsageErrorsExitTwoBeforeTouchingFiles) {
  const std::string out = dir.file("out.bmp");
  const std::string missing = dir.file("missing.bmp");
  const std::vector<std::vector<std::string>> cases = {
      {},
      {"frobnicate"},
      {"convert", card},
      {"convert", card, out, "2"},
      {"convert", card, out, "x"},
      {"convert", card, out, "24", "extra"},
      {"rescale", card, out, "PP", "50"},
      {"rescale", card, out, "", "50"},
      {"rescale", card, out, "P", "1.5"},
      {"rescale", card, out, "P", "2147483648"},
      {"fun", card, out, "+1"},
      {"fun", card, out, " 1"},
      {"fun", card, out},
      {"noise", card},
      {"info"},
      {"apply", card, out},
      {"apply", card, out, "nosuchop"},
      {"apply", card, out, "crop=1,2,3"},
      {"apply", card, out, "blur="},
      {"apply", card, out, "blur=1.0"},
      {"apply", card, out, "edge-detect=1"},
      {"apply", card, out, "rotate"},
      {"apply", card, out, "scale=1,x"},
      {"apply", card, out, "blur=3", "quantize=0x4"},
      {"apply", missing, out, "bogus"},
      {"--max-pixels", "0", "convert", card, out},
      {"--max-pixels", "1073741825", "convert", card, out},
      {"--max-pixels"},
      {"--bogus", "convert", card, out},
      {"testcard", out, "0", "10"},
      {"testcard", out, "10"},
  };
  for (const auto& args : cases) {
    std::string line;
    for (const auto& a : args) line += a + " ";
    const RunResult r = runCli(args);
    EXPECT_EQ(r.exitCode, 2) << line;
    EXPECT_TRUE(r.out.empty()) << line;
    EXPECT_FALSE(r.err.empty()) << line;
    EXPECT_FALSE(std::filesystem::exists(out)) << line;
  }
}

TEST_F(Cli, NumbersAcceptedAtTheirLimits) {
  const std::string out = dir.file("out.bmp");
  // -2147483648 is a valid 32-bit integer; extract-channel of it leaves the image unchanged.
  EXPECT_EQ(runCli({"apply", card, out, "extract-channel=-2147483648"}).exitCode, 0);
  // Reals take everything strtod takes over the whole token.
  for (const char* real : {"1e0", "0x1p0", "1.", ".5e1", "INF", "-inf", "nan"}) {
    EXPECT_EQ(runCli({"apply", card, out, std::string("brightness=") + real}).exitCode, 0) << real;
  }
}

TEST_F(Cli, FailuresExitOneWithTheSystemsOwnText) {
  const std::string out = dir.file("out.bmp");
  struct Case {
    std::vector<std::string> args;
    std::string prefix;
  };
  const std::vector<Case> cases = {
      // The reason follows the system's own text.
      {{"convert", dir.file("missing.bmp"), out},
       "Error loading image: " + dir.file("missing.bmp") + ": No such file or directory\n"},
      {{"apply", dir.file("missing.bmp"), out, "blur=3"},
       "Error loading image: " + dir.file("missing.bmp") + ": No such file or directory\n"},
      {{"convert", dir.path().string(), out}, "Error loading image: " + dir.path().string() + ": is a directory\n"},
      {{"--max-pixels", "199", "apply", card, out, "blur=3"},
       "Error loading image: " + card + ": 20 x 10 pixels passes the limit of 199 pixels (see --max-pixels)\n"},
      {{"--max-pixels", "199", "convert", card, out},
       "Error loading image: " + card + ": 20 x 10 pixels passes the limit of 199 pixels (see --max-pixels)\n"},
      {{"apply", card, out, "crop=15,0,10,10"}, "Error allocating image."},
      {{"apply", card, out, "crop=0,0,0,1"}, "Error allocating image."},
      {{"apply", card, out, "scale=0.01,1"}, "Error allocating image."},
      {{"apply", card, out, "scale=nan,1"}, "Error allocating image."},
      {{"--max-pixels", "200", "apply", card, out, "scale=2,1"}, "Error allocating image."},
      {{"--max-pixels", "200", "fun", card, out, "1"}, "Error allocating image."},
      {{"apply", card, out, "brightness=0", "contrast=-1000", "auto-crop"}, "Error allocating image."},
      {{"fun", card, out, "3"}, ""},
      {{"rescale", card, out, "x", "5"}, ""},
      {{"--max-pixels", "200", "rescale", card, out, "P", "200"}, ""},
      {{"info", dir.file("missing.bmp")}, ""},
      {{"info", dir.path().string()}, ""},
      {{"convert", card, dir.file("no/such/dir/out.bmp")},
       "bmpfun: " + dir.file("no/such/dir/out.bmp") + ": cannot write the file: folder " +
           dir.file("no/such/dir") + ": No such file or directory\n"},
      {{"fun", card, dir.path().string(), "0"},
       "bmpfun: " + dir.path().string() + ": cannot write the file: is a directory\n"},
  };
  for (const auto& c : cases) {
    std::string line;
    for (const auto& a : c.args) line += a + " ";
    const RunResult r = runCli(c.args);
    EXPECT_EQ(r.exitCode, 1) << line;
    EXPECT_TRUE(r.out.empty()) << line;
    EXPECT_EQ(r.err.rfind(c.prefix, 0), 0u) << line << "\n" << r.err;
    EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << "one line: " << r.err;
    EXPECT_FALSE(std::filesystem::exists(out)) << line;
  }
}

TEST_F(Cli, VersionHelpAndInfoPrintOnStdout) {
  const RunResult v = runCli({"--version"});
  EXPECT_EQ(v.exitCode, 0);
  EXPECT_EQ(v.out.rfind("bmpfun ", 0), 0u);
  const RunResult h = runCli({"--help"});
  EXPECT_EQ(h.exitCode, 0);
  for (const char* word : {"SYNOPSIS", "EXIT STATUS", "--max-pixels", "convert", "rescale", "info",
                           "apply", "fun", "noise", "testcard", "floyd-steinberg-dither", "auto-crop",
                           "edge-detect", "extract-channel", "mosaic", "rotate", "scale", "crop"}) {
    EXPECT_NE(h.out.find(word), std::string::npos) << word;
  }
  const RunResult i = runCli({"info", card});
  EXPECT_EQ(i.exitCode, 0);
  EXPECT_NE(i.out.find("biWidth: 20\nbiHeight: 10\n"), std::string::npos) << i.out;
  EXPECT_TRUE(i.err.empty());
}

TEST_F(Cli, TestcardIsA24BitFileOfTheAskedSize) {
  const std::string out = dir.file("big.bmp");
  ASSERT_EQ(runCli({"testcard", out}).exitCode, 0);
  const auto bytes = readBytes(out);
  ASSERT_GE(bytes.size(), 54u);
  EXPECT_EQ(getU32(bytes, 18), 320u);
  EXPECT_EQ(getU32(bytes, 22), 240u);
  EXPECT_EQ(getU16(bytes, 28), 24u);
  EXPECT_EQ(bytes.size(), 54u + 320u * 3u * 240u);
  EXPECT_EQ(runCli({"--max-pixels", "1000", "testcard", out, "100", "100"}).exitCode, 1);
}

}  // namespace
}  // namespace bmpfun::test
