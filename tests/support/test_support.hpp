// Shared helpers for the test executables.
#pragma once
#include <bmpfun/bmp.hpp>
#include <bmpfun/image.hpp>

#include "base/file_output.hpp"

#include <gtest/gtest.h>

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

namespace bmpfun {
// GoogleTest prints a pixel as (r, g, b, a).
void PrintTo(const Pixel& p, std::ostream* os);
// ... and a bitmap pixel as (b B, g G, r R, a A).
void PrintTo(const BitmapPixel& p, std::ostream* os);
}  // namespace bmpfun

// Built with AddressSanitizer or ThreadSanitizer: address-space limits do not hold (they map
// terabytes of shadow) and freed memory stays resident, so the tests that measure or limit
// memory skip.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define BMPFUN_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) || __has_feature(memory_sanitizer)
#define BMPFUN_SANITIZED 1
#endif
#endif

namespace bmpfun::test {

// The shared test material (bmpsuite/, golden/). Fails the calling test when it is missing.
std::filesystem::path testdata();
// The built command-line program.
// The bmpfun program under test: $BMPFUN_CLI when set, else the one in this build tree.
std::filesystem::path cliPath();

// A fresh directory, removed with everything in it when the object goes.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return path_; }
  std::string file(const std::string& name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};

std::vector<uint8_t> readBytes(const std::filesystem::path& path);
void writeBytes(const std::filesystem::path& path, const std::vector<uint8_t>& bytes);

// Little-endian builders for hand-made files.
void putU16(std::vector<uint8_t>& out, uint16_t v);
void putU32(std::vector<uint8_t>& out, uint32_t v);
uint16_t getU16(const std::vector<uint8_t>& in, size_t offset);
uint32_t getU32(const std::vector<uint8_t>& in, size_t offset);

// A BMP file image: 14 + 40 header bytes (biSize 40, planes 1, 3780 dpm), then `table`
// (raw 4-byte entries), then `pixelData` verbatim. bfOffBits defaults to the true offset.
struct BmpLayout {
  int32_t width = 1;
  int32_t height = 1;
  uint16_t bits = 24;
  uint32_t compression = 0;
  std::vector<uint8_t> table;      // raw bytes after the info header (table or masks)
  std::vector<uint8_t> pixelData;  // raw rows, bottom row first, padded by the caller
  int64_t offBits = -1;            // -1: 54 + table.size()
  uint32_t infoSize = 40;
};
std::vector<uint8_t> makeBmp(const BmpLayout& layout);

// Result of running the command-line program.
struct RunResult {
  int exitCode = -1;
  std::string out;
  std::string err;
};
// Run bmpfun with args (no shell), capturing stdout and stderr. On Windows the arguments are
// path strings (UTF-8, see <bmpfun/paths.hpp>) that reach the program as UTF-16.
RunResult runCli(const std::vector<std::string>& args);
#ifndef _WIN32
// Start bmpfun with args, standard input from /dev/null and the outputs to the files named,
// with SIGINT, SIGTERM and SIGHUP at their defaults (the test runner may ignore one). The
// process id, or -1 (a test failure) when it cannot be started.
pid_t startCli(const std::vector<std::string>& args, const std::string& outPath = "/dev/null",
               const std::string& errPath = "/dev/null");
#endif

// A deterministic RGBA image with gradients, hard edges and varied alpha.
// A copy of the image's pixels, for comparisons.
std::vector<Pixel> pixelsOf(const Image& image);

std::unique_ptr<Image> makeTestImage(int32_t width, int32_t height, uint32_t seed = 1);

// A bitmap pixel from channel values given in file order (blue first).
BitmapPixel px(int b, int g, int r, int a = 0);

// Every pixel set to value.
std::unique_ptr<Image> uniformImage(int32_t width, int32_t height, Pixel value);
// Every pixel names its own position: r = column, g = row, b = 77, a = 100 (sides below 256).
std::unique_ptr<Image> coded(int32_t width, int32_t height);
// Every channel of every pixel uniformly random, alpha included.
std::unique_ptr<Image> randomImage(int32_t width, int32_t height, uint32_t seed);

// ---- saves that fail, and users without privileges

// The library's file interface with faults: writes accept `budget` bytes (at most `chunk` per
// call), then answer failResult with errno ENOSPC; a sync or a close can fail with EIO (the
// close after closing). Counts its calls.
struct FaultyIo : detail::FileIo {
  size_t budget = SIZE_MAX;
  size_t chunk = SIZE_MAX;
  ssize_t failResult = -1;
  int failSyncAt = 0;  // the n-th sync fails (1 = the first); 0: none does
  bool failClose = false;
  int writes = 0;
  int syncs = 0;
  ssize_t write(int fd, const void* data, size_t size) override;
  // The same budget, shared with write (under a lock: saves write at offsets on several threads).
  ssize_t writeAt(int fd, const void* data, size_t size, uint64_t offset) override;
  int sync(int fd) override;
  int close(int fd) override;
};

// Every save made through the public calls goes through io while this lives.
class ScopedFileIo {
 public:
  explicit ScopedFileIo(detail::FileIo& io) : previous_(detail::replaceSystemFileIo(&io)) {}
  ~ScopedFileIo() { detail::replaceSystemFileIo(previous_); }
  ScopedFileIo(const ScopedFileIo&) = delete;
  ScopedFileIo& operator=(const ScopedFileIo&) = delete;

 private:
  detail::FileIo* previous_;
};

#ifndef _WIN32
// The user unprivileged children run as when the tests run as root.
constexpr uid_t kNobody = 65534;
// Runs body in a forked child that first drops to kNobody when this process is root, so
// that permissions bind (and a fault can never replace a device node). Returns the exit
// code body returned, 90 when the drop failed, -1 when the child did not exit normally.
int inUnprivilegedChild(const std::function<int()>& body);
// Hands a path made by this (possibly privileged) process to that user, with mode.
void giveAway(const std::filesystem::path& path, mode_t mode);
#endif
// The names in a folder, sorted.
std::vector<std::string> listDir(const std::filesystem::path& dir);

// An assertion that prints both pixels when they differ.
::testing::AssertionResult samePixel(const Pixel& got, const Pixel& want);

}  // namespace bmpfun::test
