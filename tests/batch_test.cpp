// `bmpfun batch`: every input written into the folder under its own name, byte for byte what
// `bmpfun apply` writes for it, on any thread count; failures counted without stopping the
// rest; never a write over an input; usage errors before anything is touched.
#include "support/test_support.hpp"

#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
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

TEST_F(Batch, OneFilesFailureDoesNotStopTheOthers) {
  writeBytes(in("broken.bmp"), {'B', 'M', 1, 2, 3});
  const std::string out = dir.file("out");
  // crop=0,0,20,20 does not fit the 17 x 23, 64 x 9 and 5 x 5 pictures.
  const RunResult r = runCli(concat({"batch", out, "crop=0,0,20,20"},
                                    {inputs[0], in("broken.bmp"), inputs[1], in("missing.bmp")}));
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_TRUE(fs::exists(fs::path(out) / "p0.bmp"));
  EXPECT_FALSE(fs::exists(fs::path(out) / "p1.bmp"));
  EXPECT_FALSE(fs::exists(fs::path(out) / "broken.bmp"));
  EXPECT_NE(r.err.find("Error loading image: " + in("broken.bmp") + ": "), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("Error loading image: " + in("missing.bmp") + ": No such file"), std::string::npos);
  EXPECT_NE(r.err.find(inputs[1] + ": bmpfun: crop=0,0,20,20: "), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("batch: 1 written, 3 failed ("), std::string::npos) << r.err;
  // Not a terminal: no progress line, only whole lines.
  EXPECT_EQ(r.err.find('\r'), std::string::npos);
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

TEST_F(Batch, UsageErrorsTouchNothing) {
  const std::string out = dir.file("out");
  const std::vector<std::vector<std::string>> cases = {
      {"batch"}, {"batch", out}, {"batch", out, "fun=1"}, {"batch", out, "", inputs[0]},
      {"batch", out, " \t ", inputs[0]}, {"batch", out, "fun=1 nosuch", inputs[0]},
      {"batch", out, "blur=x", inputs[0]}, {"batch", "--threads", "-1", out, "fun=1", inputs[0]},
      {"batch", "", "fun=1", inputs[0]},
  };
  for (const auto& args : cases) {
    const RunResult r = runCli(args);
    EXPECT_EQ(r.exitCode, 2) << args.size();
    EXPECT_FALSE(fs::exists(out));
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
