#include "floor_io.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
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

// Rows move through a small reusable buffer of about this many bytes, so the only large
// block is the RGBA grid itself.
constexpr size_t kChunkBytes = size_t{1} << 20;

bool readBmp24(const std::string& path, int32_t& width, int32_t& height, Grid& grid) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  uint8_t h[54];
  bool ok = readAll(fd, h, sizeof h) && h[0] == 'B' && h[1] == 'M';
  const uint32_t offset = le32(h + 10);
  width = static_cast<int32_t>(le32(h + 18));
  height = static_cast<int32_t>(le32(h + 22));
  ok = ok && width >= 1 && height >= 1 && (le32(h + 26) >> 16) == 24 && le32(h + 30) == 0 &&
       offset >= 54 && ::lseek(fd, static_cast<off_t>(offset), SEEK_SET) == static_cast<off_t>(offset);
  if (ok) {
    const size_t stride = rowBytes(width);
    const size_t rowsPerChunk = stride >= kChunkBytes ? 1 : kChunkBytes / stride;
    Array<uint8_t> chunk(rowsPerChunk * stride);
    grid = Grid(static_cast<size_t>(width) * static_cast<size_t>(height));
    // File rows run bottom first: file row i is grid row height - 1 - i.
    for (int32_t i = 0; ok && i < height;) {
      const size_t rows = std::min(rowsPerChunk, static_cast<size_t>(height - i));
      ok = readAll(fd, chunk.data(), rows * stride);
      for (size_t k = 0; ok && k < rows; ++k, ++i) {
        const uint8_t* row = chunk.data() + k * stride;
        Rgba* out = &grid[static_cast<size_t>(height - 1 - i) * static_cast<size_t>(width)];
        for (int32_t x = 0; x < width; ++x, row += 3) out[x] = Rgba{row[2], row[1], row[0], 0};
      }
    }
  }
  ::close(fd);
  return ok;
}

bool writeBmp24(const std::string& path, int32_t width, int32_t height, const Grid& grid) {
  const size_t stride = rowBytes(width);
  const size_t imageBytes = stride * static_cast<size_t>(height);
  const size_t rowsPerChunk = stride >= kChunkBytes ? 1 : kChunkBytes / stride;
  Array<uint8_t> chunk(54 + rowsPerChunk * stride);
  uint8_t* h = chunk.data();
  std::memset(h, 0, 54);
  h[0] = 'B';
  h[1] = 'M';
  put32(h + 2, static_cast<uint32_t>(54 + imageBytes));
  put32(h + 10, 54);
  put32(h + 14, 40);
  put32(h + 18, static_cast<uint32_t>(width));
  put32(h + 22, static_cast<uint32_t>(height));
  put32(h + 26, 1 | (24U << 16));
  put32(h + 34, static_cast<uint32_t>(imageBytes));
  put32(h + 38, 3780);
  put32(h + 42, 3780);
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) return false;
  bool ok = true;
  size_t used = 54;  // the first chunk carries the headers
  for (int32_t y = height - 1; ok && y >= 0; --y) {
    uint8_t* row = chunk.data() + used;
    const Rgba* in = &grid[static_cast<size_t>(y) * static_cast<size_t>(width)];
    for (int32_t x = 0; x < width; ++x, row += 3) {
      row[0] = in[x].b;
      row[1] = in[x].g;
      row[2] = in[x].r;
    }
    for (size_t pad = static_cast<size_t>(width) * 3; pad < stride; ++pad, ++row) *row = 0;
    used += stride;
    if (used + stride > chunk.size() || y == 0) {
      ok = writeAll(fd, chunk.data(), used);
      used = 0;
    }
  }
  return ::close(fd) == 0 && ok;
}

}  // namespace floor_io
