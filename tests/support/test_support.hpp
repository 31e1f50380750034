// Shared helpers for the test executables.
#pragma once
#include <bmpfun/bmp.hpp>
#include <bmpfun/image.hpp>

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
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
// Run bmpfun with args (no shell), capturing stdout and stderr.
RunResult runCli(const std::vector<std::string>& args);

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

// An assertion that prints both pixels when they differ.
::testing::AssertionResult samePixel(const Pixel& got, const Pixel& want);

}  // namespace bmpfun::test
