// The extended BMP reader.
//
// Headers (the info header's size field names the variant, see info_header.hpp):
//   - 12 bytes (OS/2 1.x): 16-bit width and height (always bottom-up), planes, depth 1, 4, 8
//     or 24; no compression; table entries of 3 bytes.
//   - 16 to 64 bytes other than 40, 52, 56 (OS/2 2.x): the first 40 bytes as the Windows
//     header, fields past the size read as 0. Compression 3 at 1 bit is Huffman 1D and 4 at
//     24 bits RLE24: both refused.
//   - 40, 52, 56, 108, 124 and longer unknown sizes: the Windows fields of the first 40
//     bytes; the colour-space, gamma, intent and profile fields never change a pixel.
//   - Sizes below 16 other than 12 are refused.
// Compression: 0 (rows), 1 (RLE8, 8 bits only), 2 (RLE4, 4 bits only), 3 (bit fields) and 6
// (bit fields with alpha) at 16 and 32 bits. 4 and 5 (an embedded JPEG or PNG stream, or
// OS/2 RLE24) and anything else are refused, as are 64 bits per pixel.
// Depths: 1, 2, 4, 8, 16 (X1R5G5B5 without masks), 24 (BGR), 32 (BGRX without masks: the
// fourth byte is ignored). Width >= 1, height != 0; a negative height stores the top row
// first, RLE included.
//
// Colour table (1 to 8 bits): at 14 + biSize; biClrUsed entries when 0 < biClrUsed < 2^bits,
// else 2^bits, but only as many as fit before bfOffBits. Entries the file does not hold and
// indices past the entries read are opaque black; the fourth byte of an entry is ignored.
// Pixel data starts at bfOffBits, or right after the headers, masks and table when bfOffBits
// points inside them (the default reader's layout; most decoders refuse such files).
//
// Bit fields: masks in the header at 54 from 52 bytes on, unknown longer headers included
// (alpha at 66 from 56 bytes on, or with compression 6), else right after the 40-byte or OS/2
// 2.x header (R, G, B, and A for compression 6). Bits above the depth are
// dropped; a mask with a gap or two masks sharing a bit are refused. A field of n bits
// becomes round(v * 255 / (2^n - 1)), for every n. A zero colour mask gives 0 in that
// channel, a zero alpha mask opaque pixels; when every alpha field of the file is 0 the
// pixels are opaque too (writers that leave the alpha byte at 0 mean no alpha).
//
// RLE: runs past the row end are dropped and the cursor stays on the row; absolute runs are
// padded to 16 bits; a delta moves right (clamped to the width) and on in the file's row order
// (past the last row ends the picture); end of line, end of bitmap and the end of the data
// leave every pixel not drawn (0, 0, 0, 0). Bytes after the end of bitmap are ignored.
//
// Pixels are straight RGBA with alpha = opacity. Rows the file lacks are (0, 0, 0, 0); a row
// is drawn only when all its bytes arrived.
//
// Files whose headers these rules refuse but whose first 40 bytes pass the default reader's
// checks (16-bit masks with a gap, which the default reader takes; a 12-byte size field over
// fields that read well as 40 bytes, most likely a wrong size field, which the default reader
// refuses as a short header) are read with the default reader's layout and these pixel rules,
// with status.defaultLayout set.
//
// Memory: the grid the caller makes, a 64 KiB window of the data and one row segment;
// every RLE command consumes input and every row is visited once, so time stays within the
// data plus the grid.
//
// Where the rules live: the headers' description in headers.cpp, what is taken and where the
// table, masks and pixel data lie in policies.cpp (ExtendedPolicy), bit-field channels in
// bit_fields.cpp, row unpacking in extended_rows.cpp, RLE in rle.cpp; this file reads the
// stages in order.
#include "bmp/extended_reader.hpp"

#include "base/parallel.hpp"
#include "bmp/extended_rows.hpp"
#include "bmp/policies.hpp"
#include "bmp/rle.hpp"
#include "bmp/row_blocks.hpp"

#include <algorithm>
#include <array>
#include <new>
#include <vector>

namespace bmpfun::detail {

namespace {

constexpr BitmapPixel kMissingEntry{0, 0, 0, 255};
// Pixel rows are read a segment at a time (a whole row when it fits).
constexpr size_t kSegmentBytes = size_t{1} << 16;
// Nanoseconds to copy one pixel out of the file and unpack it on one core, for the choice of
// threads: small files stay on one.
constexpr double kReadPixelCost = 1.0;

// Pixels per segment: a whole number of bytes and of pixels, a multiple of 8 pixels.
size_t segmentPixelsOf(size_t bits) { return std::max<size_t>(8, kSegmentBytes * 8 / bits / 8 * 8); }

}  // namespace

bool ExtendedReader::readHeaders(Status& status) {
  input_.fillHead();
  headers_ = describeHead(input_.head(), input_.headError());
  if (!ExtendedPolicy::headers(headers_, status)) return false;
  // The resolution, known before the format checks (a refused file leaves it behind too).
  layout_.xPixelsPerMeter = headers_.own.xPixelsPerMeter;
  layout_.yPixelsPerMeter = headers_.own.yPixelsPerMeter;
  return true;
}

bool ExtendedReader::checkFormat(Status& status) {
  return ExtendedPolicy::format(headers_, limits_, layout_, status);
}

int32_t ExtendedReader::bitmapDepth() const {
  if (layout_.bits == 2) return 4;
  if (layout_.bits == 16 && layout_.masks[3] != 0) return 32;
  return layout_.bits;
}

void ExtendedReader::readTable(Status& status) {
  palette_.fill(kMissingEntry);
  const PixelLayout& l = layout_;
  if (l.bits > 8 || l.tableEntries == 0) return;
  std::array<uint8_t, 256 * 4> raw{};
  const size_t bytes = size_t{l.tableEntries} * l.entryBytes;
  const size_t got = input_.seek(l.tableAt) ? input_.read(raw.data(), bytes) : 0;
  const size_t arrived = got / l.entryBytes;
  for (size_t k = 0; k < arrived; ++k) {
    const uint8_t* e = raw.data() + k * l.entryBytes;
    palette_[k] = BitmapPixel{e[0], e[1], e[2], 255};
  }
  status.tableExpected = static_cast<int32_t>(l.tableEntries);
  status.tableRead = static_cast<int32_t>(arrived);
}

BitmapPixel ExtendedReader::tableColor(size_t k) const {
  const BitmapPixel c = palette_[k];
  return BitmapPixel{c.blue, c.green, c.red, 0};
}

bool ExtendedReader::readRows(RowSink& sink, Status& status) {
  status.rowsExpected = layout_.height;
  int error = 0;
  if (layout_.coding == PixelLayout::Coding::rows) {
    error = readRowsUncompressed(sink, status);
  } else {
    decodeRle(input_, layout_, palette_, sink, status);
    error = input_.error();
  }
  if (error != 0) {
    status.systemError = error;
    status.cause = Cause::readFailed;
    return false;
  }
  return true;
}

int ExtendedReader::readRowsUncompressed(RowSink& sink, Status& status) {
  const PixelLayout& l = layout_;
  const size_t width = static_cast<size_t>(l.width);
  const size_t bits = l.bits;
  const uint64_t rowBytes = (uint64_t{bits} * width + 31) / 32 * 4;
  const size_t segmentPixels = segmentPixelsOf(bits);
  bool more = input_.seek(l.dataAt);
  const size_t height = static_cast<size_t>(l.height);
  const int32_t workers = more && input_.readsAt() && sink.takesRowsAtOnce()
                              ? workersFor(limits_, l.height, kReadPixelCost * static_cast<double>(width))
                              : 1;
  if (workers > 1) {
    // Without memory for its buffers the loop below reads on this thread alone.
    try {
      return readRowsAt(sink, status, workers);
    } catch (const std::bad_alloc&) {
    }
  }
  std::vector<uint8_t> buffer(static_cast<size_t>(std::min<uint64_t>(rowBytes, segmentPixels * bits / 8 + 4)));
  Unpacker unpack(l, palette_);
  RowCursor rows(sink, l);
  size_t drawn = 0;
  while (more && rows.next() < height) {
    BitmapPixel* row = rows.open(false);
    for (size_t x = 0; x < width && more; x += segmentPixels) {
      const size_t count = std::min(segmentPixels, width - x);
      // The last segment takes the row's padding with it.
      const size_t want = x + count == width ? static_cast<size_t>(rowBytes - x * bits / 8) : count * bits / 8;
      more = input_.read(buffer.data(), want) == want;
      if (more) unpack(buffer.data(), row + x, count);
    }
    // A row the file does not hold whole is not drawn.
    if (!more) std::fill(row, row + width, kUndrawn);
    else ++drawn;
    rows.close();
  }
  status.rowsRead = static_cast<int32_t>(drawn);
  rows.skipTo(height);
  // An alpha channel that is 0 everywhere means no alpha.
  if (unpack.hasAlpha() && !unpack.alphaSeen()) {
    for (size_t r = 0; r < drawn; ++r) sink.makeRowOpaque(rows.y(r));
  }
  return input_.error();
}

// The loop above on several threads (row_blocks.hpp), each with an unpacker of its own.
int ExtendedReader::readRowsAt(RowSink& sink, Status& status, int32_t workers) {
  const PixelLayout& l = layout_;
  const size_t width = static_cast<size_t>(l.width);
  const size_t segmentPixels = segmentPixelsOf(l.bits);
  const size_t segmentBytes = segmentPixels * l.bits / 8;
  const RowBlocks blocks{l.dataAt, static_cast<size_t>((uint64_t{l.bits} * width + 31) / 32 * 4), width,
                         static_cast<size_t>(l.height), l.topDown};
  std::vector<Unpacker> unpackers(static_cast<size_t>(workers), Unpacker(l, palette_));
  const RowsArrived arrived = readRowBlocks(
      input_, sink, blocks, workers, kUndrawn,
      [&](int32_t worker, const uint8_t* in, BitmapPixel* out, size_t count) {
        unpackers[static_cast<size_t>(worker)](in, out, count);
      },
      [&](int32_t worker, const uint8_t* in, size_t bytes, BitmapPixel* out) {
        // The loop above unpacks the segments of the row that arrived whole (all but its
        // last, which takes the padding) before it finds the row cut short: their alpha
        // counts.
        const size_t count = std::min(bytes / segmentBytes * segmentPixels, (width - 1) / segmentPixels * segmentPixels);
        if (count > 0) unpackers[static_cast<size_t>(worker)](in, out, count);
        std::fill(out, out + width, kUndrawn);
      });
  status.rowsRead = static_cast<int32_t>(arrived.whole);
  const bool alphaSeen = std::any_of(unpackers.begin(), unpackers.end(), [](const Unpacker& u) { return u.alphaSeen(); });
  if (unpackers[0].hasAlpha() && !alphaSeen) {
    for (size_t r = 0; r < arrived.whole; ++r) sink.makeRowOpaque(blocks.y(r));
  }
  return arrived.error;
}

}  // namespace bmpfun::detail
