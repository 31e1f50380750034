#include "floor_io.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <new>

namespace floor_io {

void* allocateLarge(size_t bytes) {
  constexpr size_t kHugePage = size_t{2} << 20;
  void* block = nullptr;
  if (bytes >= 2 * kHugePage) {
    if (posix_memalign(&block, kHugePage, bytes) != 0) throw std::bad_alloc();
    madvise(block, bytes, MADV_HUGEPAGE);
    return block;
  }
  block = std::malloc(bytes);
  if (block == nullptr) throw std::bad_alloc();
  return block;
}

namespace {

uint32_t le32(const uint8_t* p) {
  return uint32_t{p[0]} | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24);
}

void put32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

bool readAll(int fd, uint8_t* data, size_t size) {
  while (size > 0) {
    const ssize_t got = ::read(fd, data, size);
    if (got <= 0) return false;
    data += got;
    size -= static_cast<size_t>(got);
  }
  return true;
}

bool writeAll(int fd, const uint8_t* data, size_t size) {
  while (size > 0) {
    const ssize_t put = ::write(fd, data, size);
    if (put <= 0) return false;
    data += put;
    size -= static_cast<size_t>(put);
  }
  return true;
}

size_t rowBytes(int32_t width) { return (static_cast<size_t>(width) * 3 + 3) & ~size_t{3}; }

}  // namespace

bool readBmp24(const std::string& path, int32_t& width, int32_t& height, Grid& grid) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat info {};
  Array<uint8_t> file;
  bool ok = ::fstat(fd, &info) == 0 && info.st_size >= 54;
  if (ok) {
    file = Array<uint8_t>(static_cast<size_t>(info.st_size));
    ok = readAll(fd, file.data(), file.size());
  }
  ::close(fd);
  if (!ok || file[0] != 'B' || file[1] != 'M') return false;
  const uint32_t offset = le32(&file[10]);
  width = static_cast<int32_t>(le32(&file[18]));
  height = static_cast<int32_t>(le32(&file[22]));
  const uint32_t bitsAndPlanes = le32(&file[26]);
  if (width < 1 || height < 1 || (bitsAndPlanes >> 16) != 24 || le32(&file[30]) != 0) return false;
  const size_t stride = rowBytes(width);
  if (offset > file.size() || (file.size() - offset) / stride < static_cast<size_t>(height)) {
    return false;
  }
  grid = Grid(static_cast<size_t>(width) * static_cast<size_t>(height));
  for (int32_t y = 0; y < height; ++y) {
    const uint8_t* row = &file[offset + static_cast<size_t>(height - 1 - y) * stride];
    Rgba* out = &grid[static_cast<size_t>(y) * static_cast<size_t>(width)];
    for (int32_t x = 0; x < width; ++x, row += 3) out[x] = Rgba{row[2], row[1], row[0], 0};
  }
  return true;
}

bool writeBmp24(const std::string& path, int32_t width, int32_t height, const Grid& grid) {
  const size_t stride = rowBytes(width);
  const size_t imageBytes = stride * static_cast<size_t>(height);
  Array<uint8_t> file(54 + imageBytes);
  uint8_t* h = file.data();
  std::memset(h, 0, 54);
  h[0] = 'B';
  h[1] = 'M';
  put32(h + 2, static_cast<uint32_t>(file.size()));
  put32(h + 10, 54);
  put32(h + 14, 40);
  put32(h + 18, static_cast<uint32_t>(width));
  put32(h + 22, static_cast<uint32_t>(height));
  put32(h + 26, 1 | (24U << 16));
  put32(h + 34, static_cast<uint32_t>(imageBytes));
  put32(h + 38, 3780);
  put32(h + 42, 3780);
  for (int32_t y = 0; y < height; ++y) {
    uint8_t* row = h + 54 + static_cast<size_t>(height - 1 - y) * stride;
    const Rgba* in = &grid[static_cast<size_t>(y) * static_cast<size_t>(width)];
    for (int32_t x = 0; x < width; ++x, row += 3) {
      row[0] = in[x].b;
      row[1] = in[x].g;
      row[2] = in[x].r;
    }
    for (size_t pad = static_cast<size_t>(width) * 3; pad < stride; ++pad, ++row) *row = 0;
  }
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) return false;
  const bool ok = writeAll(fd, file.data(), file.size());
  return ::close(fd) == 0 && ok;
}

}  // namespace floor_io
