// The command-line program's contract: exit codes, where messages go, number syntax, and
// that usage errors are found before any file is touched.
#include <bmpfun/operations.hpp>

#include "support/test_support.hpp"

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace bmpfun::test {
namespace {

// Each token and what parseInteger and parseReal make of it (no: refused).
TEST(Numbers, OneOptionalSignThenTheDigitsOverTheWholeToken) {
  const std::nullopt_t no = std::nullopt;
  const struct {
    const char* token;
    std::optional<int32_t> integer;
    std::optional<double> real;
  } cases[] = {
      {"+7", 7, 7.0}, {"-7", -7, -7.0}, {"+0", 0, 0.0}, {"-2147483648", INT32_MIN, -2147483648.0},
      {"+2147483648", no, 2147483648.0}, {"+1.5", no, 1.5}, {"+.5e1", no, 5.0}, {"+0x1p3", no, 8.0},
      {"+inf", no, INFINITY}, {"++1", no, no}, {"+-1", no, no}, {"-+1", no, no}, {"--1", no, no},
      {"+", no, no}, {"", no, no}, {" 1", no, no}, {"+ 1", no, no}, {"\t+1", no, no}, {"1 ", no, no},
      {"1+", no, no}};
  for (const auto& c : cases) {
    EXPECT_EQ(parseInteger(c.token), c.integer) << "'" << c.token << "'";
    EXPECT_EQ(parseReal(c.token), c.real) << "'" << c.token << "'";
  }
}

// The address space this process has mapped, in bytes (0 when /proc cannot tell).
rlim_t addressSpaceInUse() {
  std::ifstream statm("/proc/self/statm");
  unsigned long long pages = 0;
  statm >> pages;
  return static_cast<rlim_t>(pages) * static_cast<rlim_t>(sysconf(_SC_PAGESIZE));
}

// bmpfun with its address space limited to `bytes`: allocations past it fail as they would
// on a machine without the memory. The child inherits the limit, which this process holds
// only while it starts and waits for it. A process that has more than that mapped already
// (a sanitizer's shadow memory) could neither start the program nor allocate anything of its
// own under the limit: it runs nothing and gives the default result (exit code -1).
RunResult runCliInMemory(rlim_t bytes, const std::vector<std::string>& args) {
  if (addressSpaceInUse() >= bytes) return {};
  rlimit saved{};
  getrlimit(RLIMIT_AS, &saved);
  const rlimit limit{bytes, saved.rlim_max};
  if (setrlimit(RLIMIT_AS, &limit) != 0) return {};
  RunResult r = runCli(args);
  setrlimit(RLIMIT_AS, &saved);
  return r;
}

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
      {"fun", card, out, "++1"},
      {"apply", card, out, "contrast=+-1"},
      {"apply", card, out, "crop=+ 1,0,5,5"},
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
      {"--threads", "-1", "convert", card, out},
      {"--threads=257", "convert", card, out},
      {"convert", card, out, "--threads", "two"},
      {"--threads"},
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
  // One leading '+' on integers and reals alike.
  for (const char* op : {"contrast=+1.5", "noise=+1.5", "rotate=+1.5", "crop=+1,0,+5,5"}) {
    EXPECT_EQ(runCli({"apply", card, out, op}).exitCode, 0) << op;
  }
}

// Every failure is one line on stderr that names the cause: the whole line is checked.
// --threads takes 0 (one per processor) to 256 anywhere on the line; the files come out the
// same whatever the count (the picture is large enough that the operations and the codec do
// split).
TEST_F(Cli, ThreadCountsGiveTheSameFiles) {
  const std::string big = dir.file("big.bmp");
  ASSERT_EQ(runCli({"testcard", big, "700", "500"}).exitCode, 0);
  const std::vector<std::vector<std::string>> commands = {
      {"apply", big, "OUT", "sampling=1", "rotate=21", "saturation=1.4", "ordered-dither=3"},
      {"fun", big, "OUT", "1"},
      {"convert", big, "OUT", "8"},
      {"rescale", big, "OUT", "P", "130"},
  };
  for (const auto& command : commands) {
    std::vector<uint8_t> want;
    for (const std::string threads : {"1", "2", "256", "0"}) {
      const std::string out = dir.file("out-" + threads + ".bmp");
      std::vector<std::string> args = {"--threads", threads};
      for (const auto& a : command) args.push_back(a == "OUT" ? out : a);
      ASSERT_EQ(runCli(args).exitCode, 0) << command[0] << " with " << threads << " threads";
      if (want.empty()) {
        want = readBytes(out);
      } else {
        EXPECT_EQ(readBytes(out), want) << command[0] << " with " << threads << " threads";
      }
    }
  }
  EXPECT_EQ(runCli({"convert", card, dir.file("x.bmp"), "--threads=256"}).exitCode, 0);
}

TEST_F(Cli, FailuresExitOneWithTheirOwnReason) {
  const std::string out = dir.file("out.bmp");
  const std::string missing = dir.file("missing.bmp");
  const std::string folder = dir.path().string();
  const std::string noDir = dir.file("no/such/dir/out.bmp");
  struct Case {
    std::vector<std::string> args;
    std::string line;
  };
  const std::vector<Case> cases = {
      {{"convert", missing, out}, "Error loading image: " + missing + ": No such file or directory"},
      {{"apply", missing, out, "blur=3"}, "Error loading image: " + missing + ": No such file or directory"},
      {{"convert", folder, out}, "Error loading image: " + folder + ": Is a directory"},
      {{"--max-pixels", "199", "apply", card, out, "blur=3"},
       "Error loading image: " + card + ": 20 x 10 pixels passes the limit of 199 pixels (see --max-pixels)"},
      {{"convert", card, out, "--max-pixels=199"},
       "Error loading image: " + card + ": 20 x 10 pixels passes the limit of 199 pixels (see --max-pixels)"},
      {{"apply", card, out, "crop=15,0,10,10"},
       "bmpfun: crop=15,0,10,10: the rectangle does not lie inside the 20 x 10 picture"},
      {{"apply", card, out, "crop=0,0,0,1"}, "Error allocating image.: crop=0,0,0,1: a size of 0 x 1 is not supported (a picture needs at least one column and one row)"},
      {{"apply", card, out, "scale=0.01,1"}, "Error allocating image.: scale=0.01,1: a size of 0 x 10 is not supported (a picture needs at least one column and one row)"},
      {{"apply", card, out, "scale=nan,1"}, "Error allocating image.: scale=nan,1: a size of 0 x 10 is not supported (a picture needs at least one column and one row)"},
      {{"--max-pixels", "200", "apply", card, out, "scale=2,1"},
       "Error allocating image.: scale=2,1: 40 x 10 pixels passes the limit of 200 pixels (see --max-pixels)"},
      {{"--max-pixels", "200", "fun", card, out, "1"},
       "Error allocating image.: fun=1: 21 x 21 pixels passes the limit of 200 pixels (see --max-pixels)"},
      {{"apply", card, out, "brightness=0", "contrast=-1000", "auto-crop"},
       "bmpfun: auto-crop: the picture has no pixel other than white (255, 255, 255, 255)"},
      {{"fun", card, out, "7"}, "bmpfun: fun=7: there is no effect 7 (the warps are 0, 1 and 2)"},
      {{"--max-pixels", "1000", "testcard", out, "100", "100"},
       "Error allocating image.: testcard: 100 x 100 pixels passes the limit of 1000 pixels (see --max-pixels)"},
      {{"rescale", card, out, "x", "5"},
       "bmpfun: rescale x 5: the mode 'x' is not P, W, H or F (P percent, W width, H height, F longer side)"},
      {{"--max-pixels", "200", "rescale", card, out, "P", "200"},
       "bmpfun: rescale P 200: 40 x 20 pixels passes the limit of 200 pixels (see --max-pixels)"},
      {{"info", missing}, "bmpfun: " + missing + ": cannot open the file: No such file or directory"},
      {{"info", folder}, "bmpfun: " + folder + ": cannot open the file: Is a directory"},
      {{"convert", card, noDir}, "bmpfun: " + noDir + ": cannot write the file: No such file or directory"},
      {{"fun", card, folder, "0"}, "bmpfun: " + folder + ": cannot write the file: Is a directory"},
      {{"convert", card, ""}, "bmpfun: : cannot write the file: No such file or directory"},
  };
  for (const auto& c : cases) {
    std::string line;
    for (const auto& a : c.args) line += a + " ";
    const RunResult r = runCli(c.args);
    EXPECT_EQ(r.exitCode, 1) << line;
    EXPECT_TRUE(r.out.empty()) << line;
    EXPECT_EQ(r.err, c.line + "\n") << line;
    EXPECT_FALSE(std::filesystem::exists(out)) << line;
  }
}

// Memory that runs out is said the same way by every command: the historic head, what was
// being made and, where known, its size.
TEST_F(Cli, OutOfMemoryIsOneLineOfOneShape) {
#ifdef BMPFUN_SANITIZED
  GTEST_SKIP() << "a sanitizer's program does not start in 200 MB of address space";
#endif
  // Headers that announce 10000 x 10000 pixels (400 MB) over 16 bytes; 5000 x 5000 (100 MB)
  // loads, and its copies do not fit beside it.
  const std::string huge = dir.file("huge.bmp"), big = dir.file("big.bmp"), out = dir.file("out.bmp");
  writeBytes(huge, makeBmp(BmpLayout{.width = 10000, .height = 10000, .pixelData = std::vector<uint8_t>(16)}));
  ASSERT_EQ(runCli({"testcard", big, "5000", "5000"}).exitCode, 0);
  const std::string head = "Error allocating image.: ";
  const std::string hugeLine = head + huge + ": not enough memory for 10000 x 10000 pixels";
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{"convert", huge, out}, hugeLine}, {{"apply", huge, out, "blur=1"}, hugeLine},
      {{"testcard", out, "10000", "10000"}, head + "testcard: not enough memory for 10000 x 10000 pixels"},
      {{"apply", big, out, "edge-detect"}, head + "edge-detect: not enough memory for 5000 x 5000 pixels"},
      {{"apply", big, out, "scale=3,3"}, head + "scale=3,3: not enough memory for 15000 x 15000 pixels"},
      {{"rescale", big, out, "P", "300"}, head + "rescale P 300: not enough memory for 15000 x 15000 pixels"},
      {{"batch", dir.file("b"), "scale=3,3", big},
       head + big + ": scale=3,3: not enough memory for 15000 x 15000 pixels\nbatch: 0 written, 1 failed"}};
  for (const auto& [args, line] : cases) {
    std::vector<std::string> all = {"--threads", "1"};
    all.insert(all.end(), args.begin(), args.end());
    const RunResult r = runCliInMemory(rlim_t{200} << 20, all);
    EXPECT_EQ(r.exitCode, 1) << line;
    const bool batch = args[0] == "batch";  // the summary's time follows
    EXPECT_EQ(batch ? r.err.substr(0, line.size() + 2) : r.err, line + (batch ? " (" : "\n"));
    EXPECT_FALSE(std::filesystem::exists(out)) << line;
  }
}

TEST_F(Cli, VersionHelpAndInfoPrintOnStdout) {
  const RunResult v = runCli({"--version"});
  EXPECT_EQ(v.exitCode, 0);
  EXPECT_EQ(v.out.rfind("bmpfun ", 0), 0u);
  const RunResult h = runCli({"--help"});
  EXPECT_EQ(h.exitCode, 0);
  for (const char* word : {"SYNOPSIS", "EXIT STATUS", "--max-pixels", "--threads", "--sync", "--extended", "convert",
                           "32a", "rescale", "info", "apply", "fun", "noise", "testcard", "batch",
                           "floyd-steinberg-dither", "auto-crop",
                           "edge-detect", "extract-channel", "mosaic", "rotate", "scale", "crop"}) {
    EXPECT_NE(h.out.find(word), std::string::npos) << word;
  }
  EXPECT_EQ(runCli({"-h"}).out, h.out);
  std::istringstream lines(h.out);
  for (std::string line; std::getline(lines, line);) EXPECT_LE(line.size(), 80u) << line;
  const RunResult i = runCli({"info", card});
  EXPECT_EQ(i.exitCode, 0);
  EXPECT_NE(i.out.find("biWidth: 20\nbiHeight: 10\n"), std::string::npos) << i.out;
  EXPECT_TRUE(i.err.empty());
}

// --help's operation list is the registry's: every operation in its order with its usage and
// its whole summary (folded at word breaks, no word lost), each placeholder among the
// integers or the reals by its type, and the operations it says make a new image.
TEST(Help, ListsTheOperationsOfTheRegistry) {
  const RunResult h = runCli({"--help"});
  ASSERT_EQ(h.exitCode, 0);
  std::istringstream lines(h.out);
  std::string kinds;
  while (std::getline(lines, kinds) && !kinds.ends_with(" reals:")) {
  }
  const size_t split = kinds.find(" are integers, ");
  ASSERT_NE(split, std::string::npos) << "no line naming the placeholders' types";
  // " M, C, N," and " F, SX, DEG,": a placeholder P is listed when " P," is in it.
  const std::string integers = " " + kinds.substr(0, split) + ",";
  const std::string reals = " " + kinds.substr(split + 15, kinds.size() - split - 15 - 7) + ",";
  std::vector<std::pair<std::string, std::string>> listed;  // usage, summary
  const std::string indent(10, ' ');
  for (std::string line; std::getline(lines, line) && !line.empty();) {
    if (line.starts_with(indent) && line.size() > 10 && line[10] != ' ') {
      const size_t end = line.find(' ', 10);
      listed.emplace_back(line.substr(10, end - 10), "");
      line = end == std::string::npos ? "" : line.substr(end);
    }
    ASSERT_FALSE(listed.empty()) << "text before the first operation: " << line;
    const size_t text = line.find_first_not_of(' ');
    if (text != std::string::npos) listed.back().second += (listed.back().second.empty() ? "" : " ") + line.substr(text);
  }
  std::vector<std::pair<std::string, std::string>> registry;
  std::string makeNew;
  for (const Operation& op : operations()) {
    registry.emplace_back(op.usage(), op.summary);
    if (op.makesNewImage()) makeNew += (makeNew.empty() ? "" : ", ") + std::string(op.name);
    for (const Argument& a : op.arguments) {
      const bool integer = a.type == Argument::Type::integer;
      const std::string item = " " + std::string(a.placeholder) + ",";
      EXPECT_EQ(integers.find(item) != std::string::npos, integer) << item << " in " << kinds;
      EXPECT_EQ(reals.find(item) != std::string::npos, !integer) << item << " in " << kinds;
    }
  }
  EXPECT_EQ(listed, registry);
  // The apply paragraph names them in prose, folded over lines.
  std::string prose;
  for (const char c : h.out) {
    if (c != '\n' && (c != ' ' || (!prose.empty() && prose.back() != ' '))) prose += c;
    if (c == '\n' && !prose.empty() && prose.back() != ' ') prose += ' ';
  }
  EXPECT_NE(prose.find("Operations that make a new image (" + makeNew + ") replace"), std::string::npos) << makeNew;
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
