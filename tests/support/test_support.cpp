#include "support/test_support.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <mutex>
#include <random>
#include <sstream>

namespace bmpfun {
void PrintTo(const Pixel& p, std::ostream* os) {
  *os << "(" << int{p.r} << ", " << int{p.g} << ", " << int{p.b} << ", " << int{p.a} << ")";
}

void PrintTo(const BitmapPixel& p, std::ostream* os) {
  *os << "(b " << int{p.blue} << ", g " << int{p.green} << ", r " << int{p.red} << ", a " << int{p.alpha} << ")";
}
}  // namespace bmpfun

namespace bmpfun::test {

BitmapPixel px(int b, int g, int r, int a) {
  return BitmapPixel{static_cast<uint8_t>(b), static_cast<uint8_t>(g), static_cast<uint8_t>(r),
                     static_cast<uint8_t>(a)};
}


std::filesystem::path testdata() {
  std::filesystem::path p = BMPFUN_TESTDATA_DIR;
  if (!std::filesystem::exists(p / "golden" / "cases.tsv")) {
    ADD_FAILURE() << "shared test material missing at " << p;
  }
  return p;
}

std::filesystem::path cliPath() {
  // The installed-prefix run points the same tests at the installed program.
  if (const char* installed = std::getenv("BMPFUN_CLI")) return installed;
  return BMPFUN_CLI_PATH;
}

std::vector<uint8_t> readBytes(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void writeBytes(const std::filesystem::path& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

void putU16(std::vector<uint8_t>& out, uint16_t v) {
  out.push_back(static_cast<uint8_t>(v & 0xFF));
  out.push_back(static_cast<uint8_t>(v >> 8));
}

void putU32(std::vector<uint8_t>& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>((v >> (8 * i)) & 0xFF));
}

uint16_t getU16(const std::vector<uint8_t>& in, size_t offset) {
  return static_cast<uint16_t>(in.at(offset) | (in.at(offset + 1) << 8));
}

uint32_t getU32(const std::vector<uint8_t>& in, size_t offset) {
  return uint32_t{in.at(offset)} | (uint32_t{in.at(offset + 1)} << 8) |
         (uint32_t{in.at(offset + 2)} << 16) | (uint32_t{in.at(offset + 3)} << 24);
}

std::vector<uint8_t> makeBmp(const BmpLayout& layout) {
  std::vector<uint8_t> out;
  const uint32_t offBits = layout.offBits >= 0 ? static_cast<uint32_t>(layout.offBits)
                                             : static_cast<uint32_t>(54 + layout.table.size());
  putU16(out, 19778);
  putU32(out, static_cast<uint32_t>(54 + layout.table.size() + layout.pixelData.size()));
  putU16(out, 0);
  putU16(out, 0);
  putU32(out, offBits);
  putU32(out, layout.infoSize);
  putU32(out, static_cast<uint32_t>(layout.width));
  putU32(out, static_cast<uint32_t>(layout.height));
  putU16(out, 1);
  putU16(out, layout.bits);
  putU32(out, layout.compression);
  putU32(out, static_cast<uint32_t>(layout.pixelData.size()));
  putU32(out, 3780);
  putU32(out, 3780);
  putU32(out, 0);
  putU32(out, 0);
  out.insert(out.end(), layout.table.begin(), layout.table.end());
  out.insert(out.end(), layout.pixelData.begin(), layout.pixelData.end());
  return out;
}

std::unique_ptr<Image> makeTestImage(int32_t width, int32_t height, uint32_t seed) {
  auto img = Image::create(width, height);
  if (!img) return img;
  std::mt19937 rng(seed);
  for (int32_t y = 0; y < height; ++y) {
    for (int32_t x = 0; x < width; ++x) {
      Pixel& p = img->pixel(x, y);
      const uint32_t noise = rng() & 15u;
      p.r = static_cast<uint8_t>((x * 255 / (width > 1 ? width - 1 : 1) + noise) & 0xFF);
      p.g = static_cast<uint8_t>((y * 255 / (height > 1 ? height - 1 : 1)) ^ (noise << 2));
      p.b = static_cast<uint8_t>(((x / 3 + y / 5) % 2) ? 230 : 20);
      p.a = static_cast<uint8_t>(rng() & 0xFF);
    }
  }
  return img;
}

std::unique_ptr<Image> uniformImage(int32_t width, int32_t height, Pixel value) {
  auto image = Image::create(width, height);
  if (image) {
    for (Pixel& p : image->pixels()) p = value;
  }
  return image;
}

std::unique_ptr<Image> coded(int32_t width, int32_t height) {
  auto image = Image::create(width, height);
  if (!image) return image;
  for (int32_t y = 0; y < height; ++y) {
    for (int32_t x = 0; x < width; ++x) {
      image->pixel(x, y) = Pixel{static_cast<uint8_t>(x), static_cast<uint8_t>(y), 77, 100};
    }
  }
  return image;
}

std::unique_ptr<Image> randomImage(int32_t width, int32_t height, uint32_t seed) {
  auto image = Image::create(width, height);
  if (!image) return image;
  std::mt19937 rng(seed);
  for (Pixel& p : image->pixels()) {
    const uint32_t bits = static_cast<uint32_t>(rng());
    p = Pixel{static_cast<uint8_t>(bits), static_cast<uint8_t>(bits >> 8),
              static_cast<uint8_t>(bits >> 16), static_cast<uint8_t>(bits >> 24)};
  }
  return image;
}

::testing::AssertionResult samePixel(const Pixel& got, const Pixel& want) {
  if (got == want) return ::testing::AssertionSuccess();
  ::testing::AssertionResult failure = ::testing::AssertionFailure();
  failure << "got ";
  std::ostringstream text;
  PrintTo(got, &text);
  text << " want ";
  PrintTo(want, &text);
  return failure << text.str();
}

std::vector<Pixel> pixelsOf(const Image& image) {
  return {image.pixels().begin(), image.pixels().end()};
}

ssize_t FaultyIo::write(int fd, const void* data, size_t size) {
  ++writes;
  if (budget == 0) {
    errno = ENOSPC;
    return failResult;
  }
  const ssize_t n = detail::FileIo::write(fd, data, std::min({size, budget, chunk}));
  if (n > 0) budget -= static_cast<size_t>(n);
  return n;
}

ssize_t FaultyIo::writeAt(int fd, const void* data, size_t size, uint64_t offset) {
  static std::mutex lock;
  size_t step = 0;
  {
    const std::lock_guard<std::mutex> hold(lock);
    ++writes;
    if (budget == 0) {
      errno = ENOSPC;
      return failResult;
    }
    step = std::min({size, budget, chunk});
    budget -= step;
  }
  return detail::FileIo::writeAt(fd, data, step, offset);
}

int FaultyIo::sync(int fd) {
  if (++syncs != failSyncAt) return detail::FileIo::sync(fd);
  errno = EIO;
  return -1;
}

int FaultyIo::close(int fd) {
  const int r = detail::FileIo::close(fd);
  if (!failClose) return r;
  errno = EIO;
  return -1;
}

std::vector<std::string> listDir(const std::filesystem::path& dir) {
  std::vector<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(dir)) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace bmpfun::test
