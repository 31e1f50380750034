// The rows of an uncompressed file read at their offsets on several threads: each worker reads
// a block of whole rows (readAt) into a buffer of its own and unpacks it into the sink, so that
// the copy out of the file is split along with the unpacking, and a block stays in cache
// between the two. Both readers take this way when their input reads at offsets, their sink
// takes rows at once and the rows are worth more than one thread; their one-thread loops are
// the reference it matches: the same pixels, the same rows read, the same error.
#pragma once
#include <bmpfun/bmp.hpp>

#include "base/byte_source.hpp"
#include "base/parallel.hpp"
#include "bmp/row_sink.hpp"

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

namespace bmpfun::detail {

struct RowBlocks {
  uint64_t start = 0;  // the offset of the first row in the file
  size_t rowBytes = 0;
  size_t width = 0;
  size_t height = 0;
  bool topDown = false;  // the file's first row is the picture's top row
  size_t y(size_t fileRow) const { return topDown ? fileRow : height - 1 - fileRow; }
};

// Where the file's rows ended: rows 0 .. whole - 1 (in file order) arrived whole, and with
// whole < height, partialBytes of the next one; error is the system's errno when a failed read
// ended them there, 0 when the file did.
struct RowsArrived {
  size_t whole = 0;
  size_t partialBytes = 0;
  int error = 0;
};

// Rows per block: about 256 KiB, as the one-thread loops read.
inline constexpr size_t kRowBlockBytes = size_t{1} << 18;

// unpack(worker, in, out, width) decodes a row that arrived whole; partial(worker, in, bytes,
// out) fills the whole of the row the file ends in, of which bytes arrived (0 for rows past
// the end, which are then painted over); every row after that one is painted blank. Throws
// std::bad_alloc, before anything is read, when the buffers cannot be had.
template <typename Unpack, typename Partial>
RowsArrived readRowBlocks(const ByteSource& input, RowSink& sink, const RowBlocks& b, int32_t workers,
                          BitmapPixel blank, Unpack&& unpack, Partial&& partial) {
  const size_t rowsPerBlock = std::min(blockRows(b.rowBytes, kRowBlockBytes), b.height);
  const size_t blocks = (b.height + rowsPerBlock - 1) / rowsPerBlock;
  const size_t blockBytes = rowsPerBlock * b.rowBytes;
  std::vector<uint8_t> buffers(static_cast<size_t>(workers) * blockBytes);
  std::vector<BitmapPixel> scratch(static_cast<size_t>(workers) * b.width);
  // The lowest offset a block's read stopped at; blocks wholly past it are not read.
  std::atomic<uint64_t> endSeen{UINT64_MAX};
  std::mutex lock;
  uint64_t end = UINT64_MAX;
  int endError = 0;
  forEachChunkOn(workers, static_cast<int64_t>(blocks), [&](int32_t worker, int64_t first, int64_t last) {
    uint8_t* buffer = buffers.data() + static_cast<size_t>(worker) * blockBytes;
    BitmapPixel* own = scratch.data() + static_cast<size_t>(worker) * b.width;
    for (auto k = static_cast<size_t>(first); k < static_cast<size_t>(last); ++k) {
      const size_t row0 = k * rowsPerBlock;
      const size_t rows = std::min(rowsPerBlock, b.height - row0);
      const uint64_t at = b.start + row0 * uint64_t{b.rowBytes};
      if (at > endSeen.load(std::memory_order_relaxed)) continue;
      int error = 0;
      const size_t got = input.readAt(buffer, rows * b.rowBytes, at, error);
      const size_t whole = got / b.rowBytes;
      for (size_t r = 0; r < whole; ++r) {
        const size_t y = b.y(row0 + r);
        BitmapPixel* out = sink.rowAt(y, own);
        unpack(worker, buffer + r * b.rowBytes, out, b.width);
        sink.rowFilled(y, out);
      }
      if (whole == rows) continue;
      const size_t y = b.y(row0 + whole);
      BitmapPixel* out = sink.rowAt(y, own);
      partial(worker, buffer + whole * b.rowBytes, got % b.rowBytes, out);
      sink.rowFilled(y, out);
      const std::lock_guard<std::mutex> hold(lock);
      if (at + got < end) {
        end = at + got;
        endError = error;
        endSeen.store(end, std::memory_order_relaxed);
      }
    }
  });
  if (end == UINT64_MAX) return {b.height, 0, 0};
  const RowsArrived arrived{static_cast<size_t>((end - b.start) / b.rowBytes),
                            static_cast<size_t>((end - b.start) % b.rowBytes), endError};
  for (size_t r = arrived.whole + 1; r < b.height; ++r) {
    BitmapPixel* out = sink.rowAt(b.y(r), scratch.data());
    std::fill(out, out + b.width, blank);
    sink.rowFilled(b.y(r), out);
  }
  return arrived;
}

}  // namespace bmpfun::detail
