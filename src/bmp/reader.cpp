// The default BMP reader.
//
// Accepted: uncompressed 1, 4, 8, 16, 24 and 32-bit files, and 16-bit files with three
// colour masks (compression 3), with positive width and height. Rows are stored bottom row
// first and padded to 4 bytes. The info header is taken to be 40 bytes whatever biSize says
// (but an OS/2 header shorter than that is refused: its 40 bytes would hold other data);
// only paletted files with a longer header that ends at or before the pixel data take their
// colour table from the end of that header (that is where the longer headers put it).
//
// Result and bitmap state (Bitmap::loadFile; the status names the cause):
//   path cannot be opened (or is a directory) -> false; 1 x 1, 1 bit, default table, white
//   first two bytes are not "BM"              -> false; bitmap untouched
//   header shorter than 54 bytes              -> false; 1 x 1, 1 bit ("Reject")
//   an OS/2 header shorter than 40 bytes (12, or 16 to 39), compression other than 0 (or 3
//   at 16 bits), depth not 1/4/8/16/24/32, width or height below 1, width x height past the
//   limit or out of memory
//                                             -> false; Reject, but the resolution fields
//                                                already hold the file's values
//   a read error reported by the system       -> false; Reject
//   anything after the headers short or odd   -> true; what was not read stays white, alpha 0
//                                                (a warning in the status)
//
// The headers are parsed once from the first bytes of the file (headers.hpp); what is taken and
// where the table, masks and rows lie is DefaultPolicy's (policies.hpp), read as if every
// header field were read on its own, little-endian, with fread's rules. The bitmap's part of
// loading is in bitmap_load.cpp.
#include "bmp/reader.hpp"

#include "base/parallel.hpp"
#include "bmp/policies.hpp"
#include "bmp/row_blocks.hpp"

#include <algorithm>
#include <new>
#include <vector>

namespace bmpfun::detail {

namespace {

constexpr BitmapPixel kBlankPixel{255, 255, 255, 0};
// Pixel data is read this many bytes at a time (at least one whole row): few system calls,
// and the chunk stays in cache while its rows are unpacked.
constexpr size_t kChunkBytes = size_t{1} << 18;
// Nanoseconds to copy one pixel out of the file and unpack it on one core (24 bits), for the
// choice of threads: small files stay on one.
constexpr double kReadPixelCost = 1.0;

bool fail(Status& status, Cause cause) {
  status.cause = cause;
  return false;
}

// Forward to offset with fread's rules: nothing once the file has ended.
void skipTo(uint64_t offset, ByteSource& input) {
  if (offset > input.offset()) guardedSkip(offset - input.offset(), input);
}

}  // namespace

bool BmpReader::readHeaders(Status& status) {
  input_.fillHead();
  headers_ = describeHead(input_.head(), input_.headError());
  if (DefaultPolicy::headers(headers_, status)) return true;
  if (status.cause == Cause::headerCut || status.cause == Cause::unsupportedHeader) {
    status.extendedReads = ExtendedPolicy::takes(headers_, limits_);
  }
  return false;
}

bool BmpReader::checkFormat(Status& status) {
  if (!DefaultPolicy::format(headers_, limits_, status)) {
    status.extendedReads = ExtendedPolicy::takes(headers_, limits_);
    return false;
  }
  layout_ = DefaultPolicy::layout(headers_);
  return true;
}

void BmpReader::readTable(Status& status) {
  const PixelLayout& l = layout_;
  palette_.fill(kBlankPixel);
  if (l.bits == 1 || l.bits == 4 || l.bits == 8) {
    skipTo(l.tableAt, input_);
    const int32_t count = integerPower(2, l.bits);
    defaultColorTable(l.bits, palette_.data());
    int32_t k = 0;
    int32_t arrived = 0;
    for (; k < static_cast<int32_t>(l.tableEntries); ++k) {
      // An entry read in part keeps the rest of its default-table bytes; an entry the file
      // lacks altogether keeps its default colour.
      const BitmapPixel current = palette_[static_cast<size_t>(k)];
      uint8_t raw[4] = {current.blue, current.green, current.red, current.alpha};
      if (guardedRead(raw, 4, 1, input_)) ++arrived;
      palette_[static_cast<size_t>(k)] = BitmapPixel{raw[0], raw[1], raw[2], raw[3]};
    }
    for (; k < count; ++k) palette_[static_cast<size_t>(k)] = kBlankPixel;
    status.tableExpected = static_cast<int32_t>(l.tableEntries);
    status.tableRead = arrived;
  } else if (l.bits == 16) {
    // The masks lie before the rows, which start only after them: masks the file does not
    // hold whole leave no row to read.
    masks_.red = static_cast<uint16_t>(l.masks[0]);
    masks_.green = static_cast<uint16_t>(l.masks[1]);
    masks_.blue = static_cast<uint16_t>(l.masks[2]);
    masks_.computeShifts();
  }
  skipTo(l.dataAt, input_);
}

bool BmpReader::readRows(RowSink& sink, Status& status) {
  // Rows go bottom row first, each padded to 4 bytes; they are read a chunk of whole rows at
  // a time. Reading stops at the first row the file does not hold whole; of a 16-bit row cut
  // short, the pixels that arrived whole are kept. Everything not read is painted white with
  // alpha 0, as a fresh grid would be.
  const uint16_t bits = layout_.bits;
  const size_t w = static_cast<size_t>(layout_.width);
  const size_t height = static_cast<size_t>(layout_.height);
  const size_t rowBytes = ((size_t{bits} * w + 31) / 32) * 4;
  const size_t chunkRows = std::min(std::max<size_t>(1, kChunkBytes / rowBytes), height);
  const auto unpack = [&](const uint8_t* in, BitmapPixel* out, size_t count) {
    switch (bits) {
      case 1: unpackRow1(in, out, count, palette_); break;
      case 4: unpackRow4(in, out, count, palette_); break;
      case 8: unpackRow8(in, out, count, palette_); break;
      case 16: unpackRow16(in, out, count, masks_); break;
      case 24: unpackRow24(in, out, count, false); break;
      default: unpackRow32(in, out, count); break;
    }
  };
  const int32_t workers = input_.readsAt() && sink.takesRowsAtOnce()
                              ? workersFor(limits_, static_cast<int64_t>(height), kReadPixelCost * static_cast<double>(w))
                              : 1;
  if (workers > 1) {
    // The same rows at their offsets on several threads (row_blocks.hpp), from where the
    // loop below would start reading.
    // Without memory for its buffers the loop below reads on this thread alone.
    const RowBlocks blocks{input_.offset(), rowBytes, w, height, false};
    try {
      const RowsArrived arrived = readRowBlocks(
          input_, sink, blocks, workers, kBlankPixel,
          [&](int32_t, const uint8_t* in, BitmapPixel* out, size_t count) { unpack(in, out, count); },
          [&](int32_t, const uint8_t* in, size_t bytes, BitmapPixel* out) {
            const size_t partial = bits == 16 ? std::min(bytes / 2, w) : 0;
            unpack(in, out, partial);
            std::fill(out + partial, out + w, kBlankPixel);
          });
      if (arrived.error != 0) {
        status.systemError = arrived.error;
        return fail(status, Cause::readFailed);
      }
      status.rowsExpected = static_cast<int32_t>(height);
      status.rowsRead = static_cast<int32_t>(arrived.whole);
      return true;
    } catch (const std::bad_alloc&) {
    }
  }
  std::vector<uint8_t> chunk;
  try {
    chunk.resize(chunkRows * rowBytes);
  } catch (const std::bad_alloc&) {
    return fail(status, Cause::outOfMemory);
  }
  size_t rowsLeft = height;  // rows 0 .. rowsLeft - 1 are still to come
  while (rowsLeft > 0) {
    const size_t rows = std::min(chunkRows, rowsLeft);
    const size_t got = input_.read(chunk.data(), rows * rowBytes);
    const size_t whole = got / rowBytes;
    for (size_t k = 0; k < whole; ++k) {
      --rowsLeft;
      unpack(chunk.data() + k * rowBytes, sink.row(rowsLeft), w);
      sink.rowDone(rowsLeft);
    }
    if (got < rows * rowBytes) {
      if (input_.error() != 0) {
        status.systemError = input_.error();
        return fail(status, Cause::readFailed);
      }
      if (rowsLeft > 0) {
        // The row the file ends in: a 16-bit row keeps the pixels that arrived whole.
        const size_t partial = bits == 16 ? std::min((got % rowBytes) / 2, w) : 0;
        BitmapPixel* row = sink.row(rowsLeft - 1);
        unpack(chunk.data() + whole * rowBytes, row, partial);
        std::fill(row + partial, row + w, kBlankPixel);
        sink.rowDone(rowsLeft - 1);
      }
      break;
    }
  }
  status.rowsExpected = static_cast<int32_t>(height);
  status.rowsRead = static_cast<int32_t>(height - rowsLeft);
  for (size_t y = rowsLeft > 0 ? rowsLeft - 1 : 0; y-- > 0;) {
    BitmapPixel* row = sink.row(y);
    std::fill(row, row + w, kBlankPixel);
    sink.rowDone(y);
  }
  return true;
}

}  // namespace bmpfun::detail
