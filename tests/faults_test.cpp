// Saves that fail on the way, through every caller: Bitmap::saveFile, Image::save, BMPFun and
// BMPNoise report the failure, an old file at the output path keeps every byte, and no
// temporary file stays behind. Real failures come from the kernel (a full device, a missing
// or read-only directory, a directory in the way, a file size limit that cuts a write short);
// a failed close and other short writes are injected through the file interface.
//
// Every save runs in a child process that drops to "nobody" when the tests run privileged:
// permissions then bind, and a fault could never replace a device node.
#include <bmpfun/bmp.hpp>
#include <bmpfun/bmpfun.h>
#include <bmpfun/image.hpp>

#include "bmp/file_output.hpp"
#include "entry/entry.hpp"
#include "support/test_support.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>

namespace bmpfun {
namespace {

namespace fs = std::filesystem;
using test::readBytes;
using test::TempDir;
using test::writeBytes;

constexpr uid_t kNobody = 65534;

std::u16string widen(const std::string& s) { return std::u16string(s.begin(), s.end()); }

// ---------------------------------------------------------------- callers

enum class Caller { saveFile, imageSave, bmpFun, bmpNoise };
constexpr Caller kCallers[] = {Caller::saveFile, Caller::imageSave, Caller::bmpFun, Caller::bmpNoise};
const char* nameOf(Caller c) {
  switch (c) {
    case Caller::saveFile: return "Bitmap::saveFile";
    case Caller::imageSave: return "Image::save";
    case Caller::bmpFun: return "BMPFun";
    case Caller::bmpNoise: return "BMPNoise";
  }
  return "?";
}

// What a caller answered: written, failed as a save failure (false, or BMPFUN_ERROR_SAVE),
// or anything else.
enum Outcome { kWritten = 0, kSaveFailed = 1, kOther = 2, kNoChild = 3 };

Outcome saveVia(Caller c, const std::string& input, const std::string& output) {
  switch (c) {
    case Caller::saveFile: {
      Bitmap b;
      if (!b.loadFile(input)) return kOther;
      return b.saveFile(output) ? kWritten : kSaveFailed;
    }
    case Caller::imageSave: {
      auto image = Image::load(input);
      if (!image) return kOther;
      return image->save(output) ? kWritten : kSaveFailed;
    }
    case Caller::bmpFun:
    case Caller::bmpNoise: {
      const std::u16string in = widen(input), out = widen(output);
      const int32_t code = c == Caller::bmpFun ? BMPFun(in.c_str(), out.c_str(), 1)
                                               : BMPNoise(in.c_str(), out.c_str());
      return code == BMPFUN_OK ? kWritten : code == BMPFUN_ERROR_SAVE ? kSaveFailed : kOther;
    }
  }
  return kOther;
}

// ---------------------------------------------------------------- fault injection

// A write that accepts `budget` bytes (at most `chunk` per call) and then answers failResult
// with ENOSPC; optionally a close that fails with EIO after closing.
struct FaultyIo : detail::FileIo {
  size_t budget = SIZE_MAX;
  size_t chunk = SIZE_MAX;
  ssize_t failResult = -1;
  bool failClose = false;
  ssize_t write(int fd, const void* data, size_t size) override {
    if (budget == 0) {
      errno = ENOSPC;
      return failResult;
    }
    const ssize_t n = ::write(fd, data, std::min({size, budget, chunk}));
    if (n > 0) budget -= static_cast<size_t>(n);
    return n;
  }
  int close(int fd) override {
    const int r = ::close(fd);
    if (!failClose) return r;
    errno = EIO;
    return -1;
  }
};

struct Injection {
  rlim_t sizeLimit = RLIM_INFINITY;  // RLIMIT_FSIZE: writes past it fail with EFBIG
  bool seam = false;                 // use `io` for every save
  FaultyIo io;
};

// Runs fn in a child: unprivileged when this process is root, standard output (BMPFun's
// messages) to /dev/null, with the injection in place. Returns the child's exit code.
int inChild(const Injection& injection, const std::function<Outcome()>& fn) {
  std::fflush(stdout);
  const pid_t pid = fork();
  if (pid < 0) return kNoChild;
  if (pid == 0) {
    if (geteuid() == 0 && (setgroups(0, nullptr) != 0 || setgid(kNobody) != 0 || setuid(kNobody) != 0))
      _exit(90);
    const int devNull = ::open("/dev/null", O_WRONLY);
    if (devNull < 0 || dup2(devNull, STDOUT_FILENO) < 0) _exit(91);
    FaultyIo io = injection.io;
    if (injection.seam) detail::replaceSystemFileIo(&io);
    if (injection.sizeLimit != RLIM_INFINITY) {
      signal(SIGXFSZ, SIG_IGN);
      const rlimit limit{injection.sizeLimit, injection.sizeLimit};
      if (setrlimit(RLIMIT_FSIZE, &limit) != 0) _exit(92);
    }
    _exit(fn());
  }
  int status = 0;
  if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return kNoChild;
  return WEXITSTATUS(status);
}

// Hands a path made by this (possibly privileged) process to the child's user.
void giveAway(const fs::path& p, mode_t mode) {
  if (geteuid() == 0) ASSERT_EQ(lchown(p.c_str(), kNobody, kNobody), 0) << p;
  ASSERT_EQ(chmod(p.c_str(), mode), 0) << p;
}

// Everything under a directory: type, bytes, link text, mode. Compared before and after.
std::map<std::string, std::string> snapshot(const fs::path& dir) {
  std::map<std::string, std::string> out;
  for (const auto& e : fs::recursive_directory_iterator(dir)) {
    struct stat st {};
    lstat(e.path().c_str(), &st);
    std::string v = std::to_string(st.st_mode) + ":";
    if (S_ISLNK(st.st_mode)) v += fs::read_symlink(e.path()).string();
    if (S_ISREG(st.st_mode)) {  // short contents verbatim, longer ones by size and hash
      const auto bytes = readBytes(e.path());
      uint64_t hash = 14695981039346656037ull;
      for (uint8_t byte : bytes) hash = (hash ^ byte) * 1099511628211ull;
      if (bytes.size() <= 16) v.append(bytes.begin(), bytes.end());
      else v += std::to_string(bytes.size()) + " bytes, hash " + std::to_string(hash);
    }
    out[fs::relative(e.path(), dir).string()] = v;
  }
  return out;
}

struct DeviceId {
  mode_t mode = 0;
  dev_t rdev = 0;
  bool operator==(const DeviceId&) const = default;
};
DeviceId deviceAt(const char* path) {
  struct stat st {};
  if (lstat(path, &st) != 0) return {};
  return {st.st_mode, st.st_rdev};
}

// ---------------------------------------------------------------- the table

enum class Target {
  devFull,          // /dev/full itself
  linkToDevFull,    // a link in the directory pointing at /dev/full
  missingDir,       // a file in a directory that does not exist
  readOnlyDir,      // a file in a directory the user cannot write
  directory,        // the path names a directory
  file,             // a file in a writable directory
  readOnlyFile,     // a file the user cannot write, in a writable directory
};

struct FailureKind {
  const char* what;
  Target target;
  bool existing;  // an old file at the output path
  rlim_t sizeLimit = RLIM_INFINITY;
  bool seam = false;
  size_t budget = SIZE_MAX;
  size_t chunk = SIZE_MAX;
  ssize_t failResult = -1;
  bool failClose = false;
};

const FailureKind kKinds[] = {
    {"no space on the device", Target::devFull, false},
    {"link to the full device", Target::linkToDevFull, false},
    {"missing directory", Target::missingDir, false},
    {"read-only directory, new file", Target::readOnlyDir, false},
    {"a directory in the way", Target::directory, false},
    {"read-only file", Target::readOnlyFile, true},
    {"size limit inside the header", Target::file, true, 20},
    {"size limit part-way", Target::file, true, 1500},
    {"size limit part-way, new file", Target::file, false, 1500},
    {"size limit part-way, read-only directory", Target::readOnlyDir, true, 1500},
    {"write fails at once", Target::file, true, RLIM_INFINITY, true, 0},
    {"short writes, then a zero result", Target::file, true, RLIM_INFINITY, true, 700, 64, 0},
    {"short writes, then ENOSPC", Target::file, false, RLIM_INFINITY, true, 2001, 7},
    {"close fails", Target::file, true, RLIM_INFINITY, true, SIZE_MAX, SIZE_MAX, -1, true},
    {"close fails, new file", Target::file, false, RLIM_INFINITY, true, SIZE_MAX, SIZE_MAX, -1, true},
    {"close fails, read-only directory", Target::readOnlyDir, true, RLIM_INFINITY, true, SIZE_MAX,
     SIZE_MAX, -1, true},
    {"write fails part-way, read-only directory", Target::readOnlyDir, true, RLIM_INFINITY, true, 900},
};

const std::vector<uint8_t> kOld = {'o', 'l', 'd', ' ', 'b', 'y', 't', 'e', 's'};

// The output path for a kind inside dir (made ready for the child's user), or empty.
std::string prepare(const FailureKind& k, const fs::path& dir) {
  giveAway(dir, 0755);
  switch (k.target) {
    case Target::devFull: return "/dev/full";
    case Target::linkToDevFull:
      fs::create_symlink("/dev/full", dir / "out.bmp");
      return (dir / "out.bmp").string();
    case Target::missingDir: return (dir / "missing" / "out.bmp").string();
    case Target::directory:
      fs::create_directory(dir / "out.bmp");
      writeBytes(dir / "out.bmp" / "inside", kOld);
      giveAway(dir / "out.bmp", 0755);
      return (dir / "out.bmp").string();
    case Target::readOnlyDir: {
      fs::create_directory(dir / "ro");
      if (k.existing) {
        writeBytes(dir / "ro" / "out.bmp", kOld);
        giveAway(dir / "ro" / "out.bmp", 0644);
      }
      giveAway(dir / "ro", 0555);
      return (dir / "ro" / "out.bmp").string();
    }
    case Target::file:
    case Target::readOnlyFile:
      if (k.existing) {
        writeBytes(dir / "out.bmp", kOld);
        giveAway(dir / "out.bmp", k.target == Target::readOnlyFile ? 0444 : 0644);
      }
      return (dir / "out.bmp").string();
  }
  return {};
}

class Faults : public ::testing::Test {
 protected:
  void SetUp() override {
    giveAway(input_.path(), 0755);
    ASSERT_TRUE(test::makeTestImage(40, 30, 5)->save(input_.file("in.bmp")));
    giveAway(input_.file("in.bmp"), 0644);
  }
  TempDir input_;
};

TEST_F(Faults, EveryFailureKindThroughEveryCaller) {
  const DeviceId full = deviceAt("/dev/full");
  ASSERT_TRUE(S_ISCHR(full.mode));
  int injected = 0;
  for (const FailureKind& k : kKinds) {
    for (Caller c : kCallers) {
      SCOPED_TRACE(std::string(k.what) + " / " + nameOf(c));
      TempDir dir;
      const std::string out = prepare(k, dir.path());
      const auto before = snapshot(dir.path());
      Injection injection;
      injection.sizeLimit = k.sizeLimit;
      injection.seam = k.seam;
      injection.io.budget = k.budget;
      injection.io.chunk = k.chunk;
      injection.io.failResult = k.failResult;
      injection.io.failClose = k.failClose;
      const std::string in = input_.file("in.bmp");
      EXPECT_EQ(inChild(injection, [&] { return saveVia(c, in, out); }), kSaveFailed);
      EXPECT_EQ(snapshot(dir.path()), before);  // old bytes kept, nothing new, no temporary
      ASSERT_EQ(deviceAt("/dev/full"), full);
      ++injected;
    }
  }
  EXPECT_EQ(injected, static_cast<int>(std::size(kKinds) * std::size(kCallers)));
}

// The same setups without the failure succeed and give what a save to a fresh path gives
// (children start from the same generator state, so BMPNoise draws alike), so each row
// above fails for its own reason. An old file longer than the new one written in place is
// cut to the new length.
TEST_F(Faults, WritableControlsSucceed) {
  const struct { Target target; bool existing; size_t oldSize; } controls[] = {
      {Target::file, true, 9}, {Target::file, false, 0}, {Target::readOnlyDir, true, 9},
      {Target::readOnlyDir, true, 50000}};
  const std::string in = input_.file("in.bmp");
  for (const auto& ctl : controls) {
    for (Caller c : kCallers) {
      SCOPED_TRACE(std::string(nameOf(c)) + " " + std::to_string(ctl.oldSize));
      TempDir dir, fresh;
      giveAway(fresh.path(), 0755);
      ASSERT_EQ(inChild(Injection{}, [&] { return saveVia(c, in, fresh.file("out.bmp")); }), kWritten);
      const std::string out = prepare(FailureKind{"control", ctl.target, ctl.existing}, dir.path());
      if (ctl.existing) ASSERT_EQ(truncate(out.c_str(), static_cast<off_t>(ctl.oldSize)), 0);
      EXPECT_EQ(inChild(Injection{}, [&] { return saveVia(c, in, out); }), kWritten);
      const auto written = readBytes(out);
      EXPECT_EQ(written, readBytes(fresh.file("out.bmp")));
      ASSERT_GE(written.size(), 54u);
      EXPECT_EQ(test::getU16(written, 28), 24);
    }
  }
}

// ---------------------------------------------------------------- the command-line program

TEST_F(Faults, CommandLineReportsTheFileAndFailsWithoutOutput) {
  TempDir dir;
  giveAway(dir.path(), 0777);
  const std::string in = input_.file("in.bmp");
  const std::string missing = dir.file("none/out.bmp");
  const std::vector<std::vector<std::string>> runs = {
      {"convert", in, "/dev/full"}, {"fun", in, "/dev/full", "1"},
      {"convert", in, missing},     {"fun", in, missing, "2"},
  };
  const DeviceId full = deviceAt("/dev/full");
  for (const auto& args : runs) {
    const std::string& target = args[2];
    SCOPED_TRACE(args[0] + " " + target);
    const std::string outFile = dir.file("stdout"), errFile = dir.file("stderr");
    Injection none;
    const int code = inChild(none, [&]() -> Outcome {
      const int o = ::open(outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      const int e = ::open(errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      if (o < 0 || e < 0 || dup2(o, STDOUT_FILENO) < 0 || dup2(e, STDERR_FILENO) < 0) _exit(93);
      const std::string cli = test::cliPath().string();
      std::vector<char*> argv{const_cast<char*>(cli.c_str())};
      for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
      argv.push_back(nullptr);
      execv(cli.c_str(), argv.data());
      _exit(94);
    });
    EXPECT_EQ(code, 1);
    const auto out = readBytes(outFile);
    const auto err = readBytes(errFile);
    EXPECT_TRUE(out.empty());
    const std::string message(err.begin(), err.end());
    EXPECT_NE(message.find(target), std::string::npos) << message;
    EXPECT_NE(message.find("cannot write"), std::string::npos) << message;
    EXPECT_FALSE(fs::exists(dir.path() / "none"));
    EXPECT_EQ(deviceAt("/dev/full"), full);
  }
}

}  // namespace
}  // namespace bmpfun
