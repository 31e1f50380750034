// The BMP writer.
//
// Files are written uncompressed at the bitmap's own depth: 1, 4 and 8 bits with the whole
// colour table (every pixel mapped to its nearest entry), 16 bits as 5-6-5 with three colour
// masks (compression 3), 24 bits without and 32 bits with the alpha byte. Rows go bottom row
// first, zero-padded to 4 bytes. An unset resolution is written as 3780 pixels per metre.
// On request a 32-bit file gets a 124-byte (V5) header instead, with compression 3, the
// masks of its B, G, R, A bytes including alpha, the sRGB colour space and the "images"
// rendering intent: what image editors and browsers read as a file with transparency. An
// alpha that is 0 everywhere is written as 255 there (see fieldsOf).
//
// A save either produces the whole file or reports false and leaves what was at the path
// untouched (see OutputFile for how, and for the one exception of a failed folder flush).
#include "bmp/writer.hpp"

#include "bmp/row_codec.hpp"
#include "base/parallel.hpp"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <new>
#include <vector>

namespace bmpfun {

namespace detail {

namespace {

// Rows are handed to the output this many bytes at a time (at least one whole row); more
// when several threads pack them, so that each round of packing is worth their start.
constexpr size_t kChunkBytes = size_t{1} << 18;
constexpr size_t kParallelChunkBytes = size_t{1} << 22;

// Nanoseconds to map one pixel to its nearest table entry on one core, and to pack one pixel
// of 16, 24 or 32 bits and copy it into the file. A file save splits at every depth: each
// thread packs blocks of rows and writes them at their offsets, so that the copy into the
// file is split along with the packing. A memory save splits the paletted depths only: at 16,
// 24 and 32 bits packing is a byte move, and the copy into the caller's vector dominates.
constexpr double kPalettedPixelCost = 4.0;
constexpr double kMovePixelCost = 1.0;

void putU16(uint8_t*& out, uint32_t v) {
  *out++ = static_cast<uint8_t>(v);
  *out++ = static_cast<uint8_t>(v >> 8);
}

void putU32(uint8_t*& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) *out++ = static_cast<uint8_t>(v >> (8 * i));
}

bool fail(Status& status, Cause cause, int systemError = 0) {
  status.cause = cause;
  status.systemError = systemError;
  return false;
}

// The output of a save: bytes appended in order, then committed.
class ByteSink {
 public:
  virtual ~ByteSink() = default;
  virtual bool write(const void* data, size_t size) = 0;
};

class FileSink final : public ByteSink {
 public:
  explicit FileSink(OutputFile& file) : file_(file) {}
  bool write(const void* data, size_t size) override { return file_.write(data, size); }

 private:
  OutputFile& file_;
};

class MemorySink final : public ByteSink {
 public:
  explicit MemorySink(std::vector<uint8_t>& out) : out_(out) {}
  bool write(const void* data, size_t size) override {
    const auto* bytes = static_cast<const uint8_t*>(data);
    out_.insert(out_.end(), bytes, bytes + size);  // capacity reserved for the whole file
    return true;
  }

 private:
  std::vector<uint8_t>& out_;
};

// The headers, the table or masks, and the rows, packed a chunk of whole rows at a time into
// a buffer zeroed once: the packers never touch the padding, so it stays 0.
// With a file that takes writes at offsets (positional) and several workers, the rows go in
// blocks, each packed into the chunk's part of the worker that took it and written at its
// offset; else a chunk at a time, in order.
bool writeBody(const SaveJob& job, const BmpLayout& layout, std::vector<uint8_t>& chunk,
               std::vector<BitmapPixel>& scratch, std::vector<NearestIndexCache>& nearest,
               ByteSink& sink, OutputFile* positional = nullptr) {
  const FileFields& fields = job.fields;
  const int32_t bits = fields.bits;
  const bool v5 = layout.headerBytes > 54;
  uint8_t header[14 + 124] = {};
  uint8_t* out = header;
  putU16(out, 19778);
  putU32(out, static_cast<uint32_t>(layout.fileBytes));
  putU16(out, 0);
  putU16(out, 0);
  putU32(out, static_cast<uint32_t>(layout.headerBytes + layout.tableBytes));
  putU32(out, static_cast<uint32_t>(layout.headerBytes - 14));
  putU32(out, static_cast<uint32_t>(fields.width));
  putU32(out, static_cast<uint32_t>(fields.height));
  putU16(out, 1);
  putU16(out, static_cast<uint32_t>(bits));
  putU32(out, bits == 16 || v5 ? 3u : 0u);
  putU32(out, static_cast<uint32_t>(layout.imageBytes));
  // An unset resolution is written as 3780; the source itself keeps its 0.
  putU32(out, static_cast<uint32_t>(fields.xPixelsPerMeter == 0 ? 3780 : fields.xPixelsPerMeter));
  putU32(out, static_cast<uint32_t>(fields.yPixelsPerMeter == 0 ? 3780 : fields.yPixelsPerMeter));
  putU32(out, 0);
  putU32(out, 0);
  if (v5) {
    // The masks of the B, G, R, A bytes as written by packRow32; then the colour space
    // ("sRGB"), end points and gamma unused (0), the "images" rendering intent and no profile.
    putU32(out, 0x00FF0000u);
    putU32(out, 0x0000FF00u);
    putU32(out, 0x000000FFu);
    putU32(out, 0xFF000000u);
    putU32(out, 0x73524742u);
    out += 36 + 12;
    putU32(out, 4);
  }
  bool ok = sink.write(header, static_cast<size_t>(layout.headerBytes));

  const bool paletted = bits == 1 || bits == 4 || bits == 8;
  if (paletted) {
    // Exactly 2^bits entries; any the table lacks are written as white with alpha 0, the
    // colour the bitmap reads for an index outside its table.
    const size_t count = size_t{1} << bits;
    for (size_t k = 0; ok && k < count; ++k) {
      const BitmapPixel c = k < job.table.size() ? job.table[k] : BitmapPixel{255, 255, 255, 0};
      const uint8_t entry[4] = {c.blue, c.green, c.red, c.alpha};
      ok = sink.write(entry, 4);
    }
  } else if (bits == 16) {
    static constexpr uint8_t kMasks[12] = {0x00, 0xF8, 0, 0, 0xE0, 0x07, 0, 0, 0x1F, 0x00, 0, 0};
    ok = ok && sink.write(kMasks, sizeof kMasks);
  }

  const size_t width = static_cast<size_t>(fields.width);
  const size_t height = static_cast<size_t>(fields.height);
  const size_t rowBytes = static_cast<size_t>(layout.rowBytes);
  // One scratch row and one nearest-entry search per thread (see prepare). Rows are packed
  // into places of their own in the chunk, so the order they are packed in cannot be seen.
  const auto workers = static_cast<int32_t>(nearest.size());
  const auto pack = [&](size_t w, size_t y, uint8_t* dst) {
    const BitmapPixel* in = job.rows.row(y, scratch.data() + w * width);
    switch (bits) {
      case 1: packRow1(in, dst, width, nearest[w]); break;
      case 4: packRow4(in, dst, width, nearest[w]); break;
      case 8: packRow8(in, dst, width, nearest[w]); break;
      case 16: packRow16(in, dst, width); break;
      case 24: packRow24(in, dst, width); break;
      default:
        packRow32(in, dst, width);
        if (fields.opaqueAlpha) {
          for (size_t x = 0; x < width; ++x) dst[4 * x + 3] = 255;
        }
        break;
    }
  };

  if (ok && positional != nullptr && workers > 1 && positional->positional() && positional->flush()) {
    // Rows bottom row first from dataAt; a worker stops taking blocks once a write failed.
    const uint64_t dataAt = layout.headerBytes + layout.tableBytes;
    const size_t rowsPerBlock = chunk.size() / rowBytes / static_cast<size_t>(workers);
    const size_t blocks = (height + rowsPerBlock - 1) / rowsPerBlock;
    std::atomic<bool> failed{false};
    forEachChunkOn(workers, static_cast<int64_t>(blocks), [&](int32_t worker, int64_t first, int64_t end) {
      const auto w = static_cast<size_t>(worker);
      uint8_t* buffer = chunk.data() + w * rowsPerBlock * rowBytes;
      for (auto k = static_cast<size_t>(first); k < static_cast<size_t>(end); ++k) {
        if (failed.load(std::memory_order_relaxed)) return;
        const size_t row0 = k * rowsPerBlock;
        const size_t rows = std::min(rowsPerBlock, height - row0);
        for (size_t r = 0; r < rows; ++r) pack(w, height - 1 - (row0 + r), buffer + r * rowBytes);
        if (!positional->writeAt(buffer, rows * rowBytes, dataAt + row0 * uint64_t{rowBytes})) failed = true;
      }
    });
    return !failed;
  }

  const size_t chunkRows = chunk.size() / rowBytes;
  size_t rowsLeft = height;
  while (ok && rowsLeft > 0) {
    const size_t rows = std::min(chunkRows, rowsLeft);
    const size_t bottom = rowsLeft - 1;  // the chunk holds rows bottom, bottom - 1, ...
    // Only the paletted depths are worth packing on several threads here (see prepare).
    const bool split = rows > 1 && (bits == 1 || bits == 4 || bits == 8);
    forEachChunkOn(split ? workers : 1, static_cast<int64_t>(rows),
                   [&](int32_t worker, int64_t first, int64_t end) {
      for (auto k = static_cast<size_t>(first); k < static_cast<size_t>(end); ++k) {
        pack(static_cast<size_t>(worker), bottom - k, chunk.data() + k * rowBytes);
      }
    });
    rowsLeft -= rows;
    ok = sink.write(chunk.data(), rows * rowBytes);
  }
  return ok;
}

// The layout and the working buffers of a save, checked and made before any output exists.
// toFile: the rows may be written at their offsets (see writeBody).
bool prepare(const SaveJob& job, BmpLayout& layout, std::vector<uint8_t>& chunk,
             std::vector<BitmapPixel>& scratch, std::vector<NearestIndexCache>& nearest,
             Status& status, bool toFile) {
  const FileFields& f = job.fields;
  status.bitsPerPixel = static_cast<uint32_t>(f.bits);
  status.width = f.width;
  status.height = f.height;
  // A file too large for the 32-bit size fields is refused before anything is created.
  const std::optional<BmpLayout> found = bmpLayout(f.bits, f.width, f.height, f.alphaMasks);
  if (!found) return fail(status, Cause::tooLargeForFile);
  layout = *found;
  const size_t rowBytes = static_cast<size_t>(layout.rowBytes);
  Limits threads;
  threads.threads = job.threads;
  const bool paletted = f.bits == 1 || f.bits == 4 || f.bits == 8;
  const int32_t workers =
      paletted || toFile ? workersFor(threads, f.height, (paletted ? kPalettedPixelCost : kMovePixelCost) * f.width) : 1;
  const size_t height = static_cast<size_t>(f.height);
  // Written at offsets: a block of rows per worker. (The same chunk serves, in order, a
  // device or pipe that turns out to take no offsets.)
  size_t chunkRows = std::min(blockRows(rowBytes, kChunkBytes), height) * static_cast<size_t>(workers);
  if (workers == 1 || !toFile) {
    const size_t chunkBytes = workers > 1 ? kParallelChunkBytes : kChunkBytes;
    chunkRows = std::min(std::max<size_t>(1, chunkBytes / rowBytes), height);
  }
  try {
    chunk.assign(chunkRows * rowBytes, 0);
    scratch.resize(static_cast<size_t>(f.width) * static_cast<size_t>(workers));
    nearest.reserve(static_cast<size_t>(workers));
    for (int32_t w = 0; w < workers; ++w) nearest.emplace_back(job.table);
  } catch (const std::bad_alloc&) {
    return fail(status, Cause::outOfMemory);
  }
  return true;
}

}  // namespace

std::optional<BmpLayout> bmpLayout(int32_t bitsPerPixel, int32_t width, int32_t height, bool alphaMasks) {
  if (bitsPerPixel < 1 || width < 1 || height < 1) return std::nullopt;
  // Integer arithmetic equal to ceil(bits * 0.125 * width) and the rest in doubles: every
  // value that fits the 32-bit fields is exact either way.
  const auto bits = static_cast<uint64_t>(bitsPerPixel);
  const uint64_t rowData = (bits * static_cast<uint64_t>(width) + 7) / 8;
  BmpLayout layout;
  layout.rowBytes = rowData + (4 - rowData % 4) % 4;
  if (layout.rowBytes > UINT32_MAX) return std::nullopt;
  layout.imageBytes = layout.rowBytes * static_cast<uint64_t>(height);
  if (bits <= 8) {
    layout.tableBytes = 4 * (uint64_t{1} << bits);
  } else if (bits == 16) {
    layout.tableBytes = 12;
  }
  if (alphaMasks && bits == 32) layout.headerBytes = 14 + 124;
  layout.fileBytes = layout.headerBytes + layout.tableBytes + layout.imageBytes;
  if (layout.fileBytes > UINT32_MAX) return std::nullopt;
  return layout;
}

bool saveToFile(const SaveJob& job, const std::string& path, const SaveOptions& options, FileIo& io,
                Status& status) {
  BmpLayout layout;
  std::vector<uint8_t> chunk;
  std::vector<BitmapPixel> scratch;
  std::vector<NearestIndexCache> nearest;
  if (!prepare(job, layout, chunk, scratch, nearest, status, true)) return false;
  OutputFile file(io, options.sync);
  if (!file.open(path)) {
    return fail(status, file.noTemporaryFile() ? Cause::noTemporaryFile : Cause::writeFailed, file.error());
  }
  FileSink sink(file);
  if (!writeBody(job, layout, chunk, scratch, nearest, sink, &file) || !file.commit()) {
    file.abandon();
    return fail(status, Cause::writeFailed, file.error());
  }
  return true;
}

bool saveToMemory(const SaveJob& job, std::vector<uint8_t>& out, Status& status) {
  out.clear();
  BmpLayout layout;
  std::vector<uint8_t> chunk;
  std::vector<BitmapPixel> scratch;
  std::vector<NearestIndexCache> nearest;
  if (!prepare(job, layout, chunk, scratch, nearest, status, false)) return false;
  try {
    out.reserve(static_cast<size_t>(layout.fileBytes));
  } catch (const std::bad_alloc&) {
    return fail(status, Cause::outOfMemory);
  }
  MemorySink sink(out);
  writeBody(job, layout, chunk, scratch, nearest, sink);
  return true;
}

}  // namespace detail

namespace {

// A bitmap's rows are its grid's rows: no copy.
class GridRows final : public detail::RowSource {
 public:
  explicit GridRows(const Bitmap& bitmap) : bitmap_(bitmap) {}
  const BitmapPixel* row(size_t y, BitmapPixel*) override {
    return bitmap_.data() + y * static_cast<size_t>(bitmap_.width());
  }

 private:
  const Bitmap& bitmap_;
};

// With alpha masks the fourth byte is opacity. A bitmap whose alpha is 0 everywhere has
// none (the default reader leaves 24-bit and paletted files' alpha at 0), and is written
// opaque: with 0 other programs would show nothing, while the extended reader reads such a
// file as opaque anyway.
detail::FileFields fieldsOf(const Bitmap& bitmap, const SaveOptions& options) {
  const bool alphaMasks = options.alphaMasks && bitmap.bitsPerPixel() == 32;
  const BitmapPixel* grid = bitmap.data();
  const size_t count = static_cast<size_t>(bitmap.width()) * static_cast<size_t>(bitmap.height());
  const bool noAlpha = alphaMasks && grid != nullptr &&
                       std::all_of(grid, grid + count, [](const BitmapPixel& p) { return p.alpha == 0; });
  return {bitmap.bitsPerPixel(), bitmap.width(), bitmap.height(), bitmap.xPixelsPerMeter(),
          bitmap.yPixelsPerMeter(), alphaMasks, noAlpha};
}

}  // namespace

uint8_t nearestTableIndex(const Bitmap& bitmap, BitmapPixel pixel) {
  return detail::nearestIndex(bitmap.colorTable(), pixel);
}

bool Bitmap::saveFile(const std::string& path, Status* status) const {
  return saveFile(path, SaveOptions{}, status);
}

bool Bitmap::saveFile(const std::string& path, const SaveOptions& options, Status* status) const {
  Status local;
  Status& s = status != nullptr ? *status : local;
  s = Status{};
  GridRows rows(*this);
  return detail::saveToFile({fieldsOf(*this, options), colorTable_, rows, options.threads}, path, options,
                            detail::systemFileIo(), s);
}

bool Bitmap::saveMemory(std::vector<uint8_t>& out, Status* status) const {
  return saveMemory(out, SaveOptions{}, status);
}

bool Bitmap::saveMemory(std::vector<uint8_t>& out, const SaveOptions& options, Status* status) const {
  Status local;
  Status& s = status != nullptr ? *status : local;
  s = Status{};
  GridRows rows(*this);
  return detail::saveToMemory({fieldsOf(*this, options), colorTable_, rows, options.threads}, out, s);
}

}  // namespace bmpfun
