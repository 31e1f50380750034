// Saves that fail on the way, through every caller: Bitmap::saveFile, Image::save, BMPFun and
// BMPNoise report the failure and its cause, an old file at the output path keeps every
// byte, and no temporary file stays behind. Real failures come from the kernel (a full
// device, a missing or read-only folder, a folder in the way, a file size limit that cuts a
// write short); failed closes and flushes and other short writes are injected through the
// file interface.
//
// Every save runs in a child process that drops to "nobody" when the tests run privileged:
// permissions then bind, and a fault could never replace a device node.
#include <bmpfun/bmp.hpp>
#include <bmpfun/bmpfun.h>
#include <bmpfun/image.hpp>

#include "base/file_output.hpp"
#include "entry/entry.hpp"
#include "support/test_support.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <new>

namespace bmpfun {
namespace {

namespace fs = std::filesystem;
using test::FaultyIo;
using test::giveAway;
using test::listDir;
using test::readBytes;
using test::TempDir;
using test::writeBytes;

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
bool givesCause(Caller c) { return c == Caller::saveFile || c == Caller::imageSave; }

// What a caller answered: written, failed as a save failure (false, or BMPFUN_ERROR_SAVE),
// or anything else; and for the C++ callers, the codec's status.
enum Outcome { kWritten = 0, kSaveFailed = 1, kOther = 2 };
struct Answer {
  Outcome outcome = kOther;
  BmpStatus status;
};

Answer saveVia(Caller c, const std::string& input, const std::string& output, const SaveOptions& options = {}) {
  Answer a;
  switch (c) {
    case Caller::saveFile: {
      Bitmap b;
      if (!b.loadFile(input)) return a;
      a.outcome = b.saveFile(output, options, &a.status) ? kWritten : kSaveFailed;
      return a;
    }
    case Caller::imageSave: {
      auto image = Image::load(input);
      if (!image) return a;
      a.outcome = image->save(output, options, &a.status) ? kWritten : kSaveFailed;
      return a;
    }
    case Caller::bmpFun:
    case Caller::bmpNoise: {
      const std::u16string in = widen(input), out = widen(output);
      const int32_t code = c == Caller::bmpFun ? BMPFun(in.c_str(), out.c_str(), 1)
                                               : BMPNoise(in.c_str(), out.c_str());
      a.outcome = code == BMPFUN_OK ? kWritten : code == BMPFUN_ERROR_SAVE ? kSaveFailed : kOther;
      return a;
    }
  }
  return a;
}

// ---------------------------------------------------------------- children

struct Injection {
  rlim_t sizeLimit = RLIM_INFINITY;  // RLIMIT_FSIZE: writes past it fail with EFBIG
  bool seam = false;                 // use `io` for every save
  FaultyIo io;
};

// The answer of fn, run in an unprivileged child with standard output (BMPFun's messages)
// to /dev/null and the injection in place. The answer travels back in shared memory.
Answer inChild(const Injection& injection, const std::function<Answer()>& fn) {
  void* shared = mmap(nullptr, sizeof(Answer), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  if (shared == MAP_FAILED) return {};
  auto* answer = new (shared) Answer{};
  const int code = test::inUnprivilegedChild([&] {
    const int devNull = ::open("/dev/null", O_WRONLY);
    if (devNull < 0 || dup2(devNull, STDOUT_FILENO) < 0) return 91;
    FaultyIo io = injection.io;
    if (injection.seam) detail::replaceSystemFileIo(&io);
    if (injection.sizeLimit != RLIM_INFINITY) {
      signal(SIGXFSZ, SIG_IGN);
      const rlimit limit{injection.sizeLimit, injection.sizeLimit};
      if (setrlimit(RLIMIT_FSIZE, &limit) != 0) return 92;
    }
    *answer = fn();
    return 0;
  });
  Answer result = code == 0 ? *answer : Answer{};
  munmap(shared, sizeof(Answer));
  return result;
}

// Everything under a folder: type, bytes, link text, mode. Compared before and after.
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
  devFull,        // /dev/full itself
  linkToDevFull,  // a link in the folder pointing at /dev/full
  missingDir,     // a file in a folder that does not exist
  readOnlyDir,    // a file in a folder the user cannot write
  directory,      // the path names a folder
  file,           // a file in a writable folder
  readOnlyFile,   // a file the user cannot write, in a writable folder
};

struct FailureKind {
  const char* what;
  Target target;
  bool existing;  // an old file at the output path
  BmpCause cause;
  int systemError;
  rlim_t sizeLimit = RLIM_INFINITY;
  bool seam = false;
  size_t budget = SIZE_MAX;
  size_t chunk = SIZE_MAX;
  ssize_t failResult = -1;
  bool failClose = false;
};

// The input saves to 270054 bytes at 24 bits: more than one 256 KiB write buffer.
constexpr int32_t kSide = 300;
constexpr size_t kFileBytes = 54 + 3 * kSide * kSide;
constexpr auto kWrite = BmpCause::writeFailed;
constexpr rlim_t kNoLimit = RLIM_INFINITY;

const FailureKind kKinds[] = {
    {"no space on the device", Target::devFull, false, kWrite, ENOSPC},
    {"link to the full device", Target::linkToDevFull, false, kWrite, ENOSPC},
    {"missing folder", Target::missingDir, false, kWrite, ENOENT},
    {"read-only folder, new file", Target::readOnlyDir, false, kWrite, EACCES},
    {"read-only folder, writable file", Target::readOnlyDir, true, BmpCause::noTemporaryFile, EACCES},
    {"a folder in the way", Target::directory, false, kWrite, EISDIR},
    {"read-only file", Target::readOnlyFile, true, kWrite, EACCES},
    {"size limit inside the header", Target::file, true, kWrite, EFBIG, 20},
    {"size limit part-way", Target::file, true, kWrite, EFBIG, 1500},
    {"size limit part-way, new file", Target::file, false, kWrite, EFBIG, 1500},
    {"write fails at once", Target::file, true, kWrite, ENOSPC, kNoLimit, true, 0},
    {"short writes, then a zero result", Target::file, true, kWrite, ENOSPC, kNoLimit, true, 700, 64, 0},
    {"short writes, then ENOSPC", Target::file, false, kWrite, ENOSPC, kNoLimit, true, 2001, 7},
    {"fails at the first buffer's end", Target::file, true, kWrite, ENOSPC, kNoLimit, true, 262144},
    {"fails in the second buffer, new file", Target::file, false, kWrite, ENOSPC, kNoLimit, true, 262145},
    {"fails one byte before the end", Target::file, true, kWrite, ENOSPC, kNoLimit, true, kFileBytes - 1, 4096},
    {"close fails", Target::file, true, kWrite, EIO, kNoLimit, true, SIZE_MAX, SIZE_MAX, -1, true},
    {"close fails, new file", Target::file, false, kWrite, EIO, kNoLimit, true, SIZE_MAX, SIZE_MAX, -1, true},
};

const std::vector<uint8_t> kOld = {'o', 'l', 'd', ' ', 'b', 'y', 't', 'e', 's'};

// The output path for a target inside dir (made ready for the child's user).
std::string prepare(Target target, bool existing, const fs::path& dir) {
  giveAway(dir, 0755);
  switch (target) {
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
      if (existing) {
        writeBytes(dir / "ro" / "out.bmp", kOld);
        giveAway(dir / "ro" / "out.bmp", 0666);
      }
      giveAway(dir / "ro", 0555);
      return (dir / "ro" / "out.bmp").string();
    }
    case Target::file:
    case Target::readOnlyFile:
      if (existing) {
        writeBytes(dir / "out.bmp", kOld);
        giveAway(dir / "out.bmp", target == Target::readOnlyFile ? 0444 : 0644);
      }
      return (dir / "out.bmp").string();
  }
  return {};
}

class Faults : public ::testing::Test {
 protected:
  void SetUp() override {
    giveAway(input_.path(), 0755);
    ASSERT_TRUE(test::makeTestImage(kSide, kSide, 5)->save(input_.file("in.bmp")));
    giveAway(input_.file("in.bmp"), 0644);
  }
  std::string input() const { return input_.file("in.bmp"); }
  TempDir input_;
};

TEST_F(Faults, EveryFailureKindThroughEveryCaller) {
  const DeviceId full = deviceAt("/dev/full");
  ASSERT_TRUE(S_ISCHR(full.mode));
  ASSERT_EQ(readBytes(input()).size(), kFileBytes);
  for (const FailureKind& k : kKinds) {
    for (Caller c : kCallers) {
      SCOPED_TRACE(std::string(k.what) + " / " + nameOf(c));
      TempDir dir;
      const std::string out = prepare(k.target, k.existing, dir.path());
      const auto before = snapshot(dir.path());
      Injection injection;
      injection.sizeLimit = k.sizeLimit;
      injection.seam = k.seam;
      injection.io.budget = k.budget;
      injection.io.chunk = k.chunk;
      injection.io.failResult = k.failResult;
      injection.io.failClose = k.failClose;
      const Answer answer = inChild(injection, [&] { return saveVia(c, input(), out); });
      EXPECT_EQ(answer.outcome, kSaveFailed);
      if (givesCause(c)) {
        EXPECT_EQ(answer.status.cause, k.cause) << to_string(answer.status);
        EXPECT_EQ(answer.status.systemError, k.systemError) << to_string(answer.status);
      }
      EXPECT_EQ(snapshot(dir.path()), before);  // old bytes kept, nothing new, no temporary
      ASSERT_EQ(deviceAt("/dev/full"), full);
    }
  }
}

// The same setups without the failure succeed and give what a save to a fresh path gives
// (children start from the same generator state, so BMPNoise draws alike), so each row
// above fails for its own reason.
TEST_F(Faults, WritableControlsSucceed) {
  for (const bool existing : {true, false}) {
    for (Caller c : kCallers) {
      SCOPED_TRACE(std::string(nameOf(c)) + (existing ? " over a file" : " new file"));
      TempDir dir, fresh;
      giveAway(fresh.path(), 0755);
      ASSERT_EQ(inChild(Injection{}, [&] { return saveVia(c, input(), fresh.file("out.bmp")); }).outcome, kWritten);
      const std::string out = prepare(Target::file, existing, dir.path());
      EXPECT_EQ(inChild(Injection{}, [&] { return saveVia(c, input(), out); }).outcome, kWritten);
      const auto written = readBytes(out);
      EXPECT_EQ(written, readBytes(fresh.file("out.bmp")));
      ASSERT_GE(written.size(), 54u);
      EXPECT_EQ(test::getU16(written, 28), 24);
      EXPECT_EQ(listDir(dir.path()), std::vector<std::string>{"out.bmp"});
    }
  }
}

// With sync, the file is flushed before the rename and the folder after it; devices and
// pipes have nothing to flush. A failed file flush keeps the old file; a failed folder flush
// comes after the rename, so the new file is in place but the save says it is not safe.
TEST_F(Faults, SyncedSaves) {
  enum Content { kNothing, kOldBytes, kNewBytes };
  const struct { const char* what; bool sync, existing; int failSyncAt; bool ok; int syncs; Content content; } cases[] = {
      {"not asked for", false, true, 0, true, 0, kNewBytes},
      {"over a file", true, true, 0, true, 2, kNewBytes},
      {"new file", true, false, 0, true, 2, kNewBytes},
      {"file flush fails", true, true, 1, false, 1, kOldBytes},
      {"file flush fails, new file", true, false, 1, false, 1, kNothing},
      {"folder flush fails", true, true, 2, false, 2, kNewBytes},
  };
  TempDir fresh;
  ASSERT_EQ(saveVia(Caller::saveFile, input(), fresh.file("out.bmp")).outcome, kWritten);
  const auto newBytes = readBytes(fresh.file("out.bmp"));
  for (const auto& k : cases) {
    SCOPED_TRACE(k.what);
    TempDir dir;
    const std::string out = prepare(Target::file, k.existing, dir.path());
    FaultyIo io;
    io.failSyncAt = k.failSyncAt;
    test::ScopedFileIo seam(io);
    const Answer answer = saveVia(Caller::saveFile, input(), out, SaveOptions{k.sync});
    EXPECT_EQ(answer.outcome, k.ok ? kWritten : kSaveFailed);
    EXPECT_EQ(answer.status.systemError, k.ok ? 0 : EIO);
    EXPECT_EQ(io.syncs, k.syncs);
    EXPECT_EQ(listDir(dir.path()), k.content == kNothing ? std::vector<std::string>{} : std::vector<std::string>{"out.bmp"});
    if (k.content != kNothing) EXPECT_EQ(readBytes(out), k.content == kOldBytes ? kOld : newBytes);
  }
  FaultyIo io;
  test::ScopedFileIo seam(io);
  EXPECT_EQ(saveVia(Caller::saveFile, input(), "/dev/null", SaveOptions{true}).outcome, kWritten);
  EXPECT_EQ(io.syncs, 0);
}

// ---------------------------------------------------------------- the command-line program

TEST_F(Faults, CommandLineNamesTheFileAndTheReason) {
  TempDir dir;
  giveAway(dir.path(), 0777);
  const std::string missing = dir.file("none/out.bmp");
  fs::create_directory(dir.path() / "sub");
  const std::string readOnly = prepare(Target::readOnlyDir, true, dir.path() / "sub");
  const struct {
    std::vector<std::string> args;
    std::string target;
    const char* reason;
  } runs[] = {
      {{"convert", input(), "/dev/full"}, "/dev/full", "No space left on device"},
      {{"fun", input(), "/dev/full", "1"}, "/dev/full", "No space left on device"},
      {{"convert", input(), missing}, missing, "No such file or directory"},
      {{"fun", input(), missing, "2"}, missing, "No such file or directory"},
      {{"--sync", "convert", input(), readOnly}, readOnly,
       "no temporary file can be made in its folder (Permission denied)"},
  };
  const DeviceId full = deviceAt("/dev/full");
  const auto before = snapshot(dir.path());
  for (const auto& run : runs) {
    const std::string& target = run.target;
    SCOPED_TRACE(run.args[0] + " " + target);
    const std::string outFile = dir.file("stdout"), errFile = dir.file("stderr");
    const int code = test::inUnprivilegedChild([&] {
      const int o = ::open(outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      const int e = ::open(errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      if (o < 0 || e < 0 || dup2(o, STDOUT_FILENO) < 0 || dup2(e, STDERR_FILENO) < 0) return 93;
      const std::string cli = test::cliPath().string();
      std::vector<char*> argv{const_cast<char*>(cli.c_str())};
      for (const auto& a : run.args) argv.push_back(const_cast<char*>(a.c_str()));
      argv.push_back(nullptr);
      execv(cli.c_str(), argv.data());
      return 94;
    });
    EXPECT_EQ(code, 1);
    EXPECT_TRUE(readBytes(outFile).empty());
    const auto err = readBytes(errFile);
    const std::string message(err.begin(), err.end());
    EXPECT_NE(message.find(target + ": cannot write the file: "), std::string::npos) << message;
    EXPECT_NE(message.find(run.reason), std::string::npos) << message;
    fs::remove(outFile);
    fs::remove(errFile);
    EXPECT_EQ(snapshot(dir.path()), before);
    EXPECT_EQ(deviceAt("/dev/full"), full);
  }
}

TEST_F(Faults, CommandLineSyncWritesTheSameBytes) {
  TempDir dir;
  const std::string plain = dir.file("plain.bmp"), before = dir.file("before.bmp"), after = dir.file("after.bmp");
  for (const auto& args : {std::vector<std::string>{"apply", input(), plain, "blur=3"},
                           std::vector<std::string>{"--sync", "apply", input(), before, "blur=3"},
                           std::vector<std::string>{"apply", input(), after, "blur=3", "--sync"},
                           std::vector<std::string>{"--sync", "noise", input(), "/dev/null"}}) {
    EXPECT_EQ(test::runCli(args).exitCode, 0) << args[0];
  }
  EXPECT_EQ(readBytes(before), readBytes(plain));
  EXPECT_EQ(readBytes(after), readBytes(plain));
}

// ---------------------------------------------------------------- loads without memory

// A file whose grid the system refuses (a header announcing 16384 x 16384 pixels, 1 GiB,
// under an address-space limit 256 MiB above what the process uses) is refused as out of
// memory, by every loader and both readers, not as a file that could not be read.
TEST(LoadFaults, AGridTheSystemRefusesIsOutOfMemory) {
#ifdef BMPFUN_SANITIZED
  GTEST_SKIP() << "sanitizers break RLIMIT_AS";
#endif
  TempDir dir;
  const std::string path = dir.file("huge.bmp");
  writeBytes(path, test::makeBmp({.width = 16384, .height = 16384, .bits = 24, .pixelData = {1, 2, 3, 0}}));
  giveAway(dir.path(), 0755);
  giveAway(path, 0644);
  enum class Loader { bitmap, image };
  const struct { const char* what; Loader loader; bool extended; } cases[] = {
      {"Bitmap::loadFile", Loader::bitmap, false},
      {"Bitmap::loadFile, extended", Loader::bitmap, true},
      {"Image::load", Loader::image, false},
      {"Image::load, extended", Loader::image, true},
  };
  for (const auto& c : cases) {
    // The child answers 0 for the right causes, 1 for a load that succeeded, 2 + the codec's
    // cause (times 16 plus the image code for Image::load) for any other failure.
    const int code = test::inUnprivilegedChild([&] {
      long pages = 0;
      std::FILE* statm = std::fopen("/proc/self/statm", "r");
      if (statm == nullptr || std::fscanf(statm, "%ld", &pages) != 1 || pages <= 0) return 93;
      const rlim_t bytes = static_cast<rlim_t>(pages * sysconf(_SC_PAGESIZE)) + (rlim_t{256} << 20);
      const rlimit limit{bytes, bytes};
      if (setrlimit(RLIMIT_AS, &limit) != 0) return 92;
      Limits limits;
      limits.extended = c.extended;
      Bitmap bitmap;
      Status status;
      if (c.loader == Loader::bitmap ? bitmap.loadFile(path, limits, &status) : !!Image::load(path, limits, &status)) return 1;
      return status.cause == Cause::outOfMemory ? 0 : 2 + static_cast<int>(status.cause);
    });
    EXPECT_EQ(code, 0) << c.what;
  }
}

}  // namespace
}  // namespace bmpfun
