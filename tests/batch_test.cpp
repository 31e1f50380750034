// `bmpfun batch`: every input written into the folder under its own name, byte for byte what
// `bmpfun apply` writes for it, on any thread count; failures counted without stopping the
// rest; never a write over an input; usage errors before anything is touched.
#include "support/test_support.hpp"

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace bmpfun::test {
namespace {

namespace fs = std::filesystem;

class Batch : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directory(dir.path() / "in");
    const std::pair<int, int> sizes[] = {{40, 30}, {17, 23}, {64, 9}, {5, 5}};
    for (size_t k = 0; k < std::size(sizes); ++k) {
      const std::string path = dir.file("in/p" + std::to_string(k) + ".bmp");
      ASSERT_EQ(runCli({"testcard", path, std::to_string(sizes[k].first),
                        std::to_string(sizes[k].second)})
                    .exitCode,
                0);
      inputs.push_back(path);
    }
  }
  std::string in(const std::string& name) const { return dir.file("in/" + name); }

  TempDir dir;
  std::vector<std::string> inputs;
};

std::vector<std::string> concat(std::vector<std::string> a, const std::vector<std::string>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

TEST_F(Batch, WritesWhatApplyWritesForEveryInput) {
  const std::vector<std::string> chains = {
      "fun=1", "sampling=1  rotate=30\tsaturation=1.3", "noise=0.4 ordered-dither=2",
      "random-dither=3 scale=1.5,0.7", "mosaic=3 edge-detect"};
  for (const std::string& chain : chains) {
    // What apply writes, one process per file.
    std::vector<std::vector<uint8_t>> want;
    for (const auto& input : inputs) {
      const std::string out = dir.file("apply.bmp");
      std::vector<std::string> args = {"apply", input, out};
      for (size_t at = 0; at < chain.size();) {
        const size_t start = chain.find_first_not_of(" \t", at);
        if (start == std::string::npos) break;
        const size_t end = std::min(chain.find_first_of(" \t", start), chain.size());
        args.push_back(chain.substr(start, end - start));
        at = end;
      }
      ASSERT_EQ(runCli(args).exitCode, 0) << chain;
      want.push_back(readBytes(out));
    }
    for (const std::string threads : {"1", "2", "5"}) {
      SCOPED_TRACE(chain + " on " + threads + " threads");
      const std::string folder = dir.file("out-" + threads);
      const RunResult r = runCli(concat({"batch", "--threads", threads, folder, chain}, inputs));
      EXPECT_EQ(r.exitCode, 0);
      EXPECT_EQ(r.out, "");
      EXPECT_EQ(r.err.rfind("batch: 4 written, 0 failed (", 0), 0u) << r.err;
      for (size_t k = 0; k < inputs.size(); ++k) {
        EXPECT_EQ(readBytes(fs::path(folder) / fs::path(inputs[k]).filename()), want[k]) << inputs[k];
      }
      fs::remove_all(folder);
    }
  }
}

// Every failure is one line of apply's shape naming its file: apply's own line for a load or a
// write, apply's line with the input before the operation, refusals alike. One file's failure
// does not stop the others.
TEST_F(Batch, OneFilesFailureDoesNotStopTheOthers) {
  writeBytes(in("broken.bmp"), {'B', 'M', 1, 2, 3});
  const std::string out = dir.file("out"), inOut = dir.file("out/q.bmp"), again = dir.file("in/./p0.bmp");
  fs::create_directories(fs::path(out) / "p1.bmp");  // p1's result cannot be written
  fs::copy_file(inputs[0], inOut);                   // an input whose result would replace it
  fs::create_hard_link(inputs[0], in("hard.bmp"));
  fs::create_symlink("p0.bmp", in("soft.bmp"));
  const auto applyLine = [&](const std::string& input, const std::string& output) {
    const RunResult r = runCli({"apply", input, output, "crop=0,0,10,10"});
    return r.err.substr(0, r.err.size() - 1);
  };
  const std::string op = "bmpfun: ", same = ": given twice (the same file as " + inputs[0] + ")";
  // crop=0,0,10,10 does not fit the 64 x 9 and 5 x 5 pictures.
  std::multiset<std::string> want = {
      applyLine(in("broken.bmp"), dir.file("x.bmp")), applyLine(in("missing.bmp"), dir.file("x.bmp")),
      applyLine(inputs[1], dir.file("out/p1.bmp")),
      op + inputs[2] + ": " + applyLine(inputs[2], dir.file("x.bmp")).substr(op.size()),
      op + inputs[3] + ": " + applyLine(inputs[3], dir.file("x.bmp")).substr(op.size()),
      op + again + same, op + in("hard.bmp") + same, op + in("soft.bmp") + same,
      op + inputs[0] + ": given twice",
      op + inOut + ": not written: " + inOut + " is an input", "batch: 1 written, 10 failed"};
  EXPECT_EQ(want.count(op + inputs[2] + ": crop=0,0,10,10: the rectangle does not lie inside the 64 x 9 picture"), 1u);
  const std::vector<std::string> files = {inputs[0], in("broken.bmp"), inputs[1], in("missing.bmp"), inputs[2],
                                          inputs[3], again, in("hard.bmp"), in("soft.bmp"), inputs[0], inOut};
  for (const std::string threads : {"1", "3"}) {
    const RunResult r = runCli(concat({"batch", "--threads", threads, out, "crop=0,0,10,10"}, files));
    EXPECT_EQ(r.exitCode, 1);
    std::multiset<std::string> lines;
    std::istringstream text(r.err);  // not a terminal: whole lines, no progress line
    for (std::string line; std::getline(text, line);) {
      lines.insert(line.substr(0, line.find(" (", line.find("batch: "))));  // the summary's time goes
    }
    EXPECT_EQ(lines, want) << r.err;
    EXPECT_TRUE(fs::remove(fs::path(out) / "p0.bmp"));
    EXPECT_EQ(readBytes(inOut), readBytes(inputs[0]));
  }
}

TEST_F(Batch, NeverWritesOverAnInput) {
  const std::vector<uint8_t> before = readBytes(inputs[0]);
  fs::create_directory(dir.path() / "other");
  fs::copy_file(inputs[1], dir.path() / "other" / "p1.bmp");
  fs::create_symlink(dir.path() / "in", dir.path() / "link");
  struct Case {
    std::string folder;
    std::vector<std::string> files;
    std::string refusal;
  };
  const Case cases[] = {
      // The results would land on the inputs themselves.
      {dir.file("in"), {inputs[0]}, inputs[0] + ": not written: "},
      {dir.file("link"), {inputs[0]}, inputs[0] + ": not written: "},
      {dir.file("in") + "/.", {inputs[0]}, inputs[0] + ": not written: "},
      // The result would land on another input.
      {dir.file("other"), {inputs[1], dir.file("other/p1.bmp")}, inputs[1] + ": not written: "},
      // Two inputs with one name: the first one's result stays.
      {dir.file("out"), {inputs[1], dir.file("other/p1.bmp")}, dir.file("other/p1.bmp") + ": not written: "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.folder);
    const RunResult r = runCli(concat({"batch", c.folder, "fun=1"}, c.files));
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("bmpfun: " + c.refusal), std::string::npos) << r.err;
    EXPECT_EQ(readBytes(inputs[0]), before);
  }
  EXPECT_EQ(readBytes(dir.file("other/p1.bmp")), readBytes(inputs[1]));
}

// OUTDIR holds hard links to inputs under the names the results would take: writing there
// would replace what is the input itself.
TEST_F(Batch, AHardLinkToAnInputInTheFolderIsNotWrittenThrough) {
  const fs::path folder = dir.path() / "linked";
  fs::create_directory(folder);
  fs::create_hard_link(inputs[0], folder / "p0.bmp");  // the input itself
  fs::create_hard_link(inputs[1], folder / "p2.bmp");  // another input
  const std::vector<uint8_t> first = readBytes(inputs[0]), second = readBytes(inputs[1]);
  const RunResult r = runCli({"batch", folder.string(), "fun=1", inputs[0], inputs[2], inputs[1]});
  EXPECT_EQ(r.exitCode, 1);
  for (const auto& [input, name] : {std::pair{inputs[0], "p0.bmp"}, std::pair{inputs[2], "p2.bmp"}}) {
    const std::string line = "bmpfun: " + input + ": not written: " + (folder / name).string() + " is an input\n";
    EXPECT_NE(r.err.find(line), std::string::npos) << r.err;
  }
  EXPECT_TRUE(fs::equivalent(folder / "p0.bmp", inputs[0]) && fs::equivalent(folder / "p2.bmp", inputs[1]));
  EXPECT_TRUE(readBytes(inputs[0]) == first && readBytes(inputs[1]) == second);
  EXPECT_TRUE(fs::exists(folder / "p1.bmp"));
}

// Files in flight are bounded by memory, not by the processors: on four threads four files
// whose chain makes a 6001 x 6001 picture (144 MB) each peak near two of them at once, where
// four at once would hold about three (their peaks do not all meet).
TEST_F(Batch, MemoryStaysNearTwoFilesWhateverTheThreads) {
#ifdef BMPFUN_SANITIZED
  GTEST_SKIP() << "a sanitizer keeps freed memory resident";
#endif
  std::vector<std::string> tall;
  for (const char* name : {"t0.bmp", "t1.bmp", "t2.bmp", "t3.bmp"}) {
    tall.push_back(in(name));
    ASSERT_EQ(runCli({"testcard", tall.back(), "1", "3000"}).exitCode, 0);
  }
  rusage usage{};  // ru_maxrss: kilobytes, the largest child waited for so far
  ASSERT_EQ(runCli(concat({"batch", "--threads", "1", dir.file("one"), "fun=1 crop=0,0,1,1"}, tall)).exitCode, 0);
  getrusage(RUSAGE_CHILDREN, &usage);
  const long one = usage.ru_maxrss;
  ASSERT_EQ(runCli(concat({"batch", "--threads", "4", dir.file("four"), "fun=1 crop=0,0,1,1"}, tall)).exitCode, 0);
  getrusage(RUSAGE_CHILDREN, &usage);
  EXPECT_LT(usage.ru_maxrss, one * 5 / 2) << "one file at a time: " << one << " kB";
}

TEST_F(Batch, UsageErrorsTouchNothing) {
  const std::string out = dir.file("out");
  const std::vector<std::vector<std::string>> cases = {
      {"batch"}, {"batch", out}, {"batch", out, "fun=1"}, {"batch", out, "", inputs[0]},
      {"batch", out, " \t ", inputs[0]}, {"batch", out, "fun=1 nosuch", inputs[0]},
      {"batch", out, "blur=x", inputs[0]}, {"batch", "--threads", "-1", out, "fun=1", inputs[0]},
      {"batch", "", "fun=1", inputs[0]},
      // Operations that fail on every picture; the chain's words as arguments of their own.
      {"batch", out, "sampling=1 fun=3", inputs[0], inputs[1]}, {"batch", out, "crop=0,0,0,5", inputs[0]},
      {"batch", out, "crop=-1,0,2,2", inputs[0]}, {"batch", out, "scale=nan,1", inputs[0]},
      {"batch", out, "scale=1,inf", inputs[0]}, {"batch", out, "sampling=1", "fun=1", inputs[0]},
  };
  for (const auto& args : cases) {
    const RunResult r = runCli(args);
    EXPECT_EQ(r.exitCode, 2) << args.size();
    EXPECT_FALSE(fs::exists(out));
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 2) << r.err;  // the message, then --help's
  }
  // A missing folder is made with its parents.
  EXPECT_EQ(runCli({"batch", dir.file("deep/er/out"), "fun=1", inputs[0]}).exitCode, 0);
  EXPECT_TRUE(fs::exists(dir.path() / "deep/er/out" / fs::path(inputs[0]).filename()));
  // A folder that is a file is a failure of the run, not of the usage.
  writeBytes(out, {1});
  EXPECT_EQ(runCli({"batch", out, "fun=1", inputs[0]}).exitCode, 1);
}

}  // namespace
}  // namespace bmpfun::test
