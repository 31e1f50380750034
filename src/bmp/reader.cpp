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
// Every header field is read on its own, little-endian, with fread's rules: a field the file
// covers only in part takes the bytes that arrived as its low-order bytes.
#include "bmp/reader.hpp"

#include "bmp/extended_reader.hpp"
#include "base/grid_storage.hpp"

#include <algorithm>
#include <new>
#include <type_traits>
#include <vector>

namespace bmpfun {

namespace detail {

namespace {

constexpr BitmapPixel kBlankPixel{255, 255, 255, 0};
// Pixel data is read this many bytes at a time (at least one whole row): few system calls,
// and the chunk stays in cache while its rows are unpacked.
constexpr size_t kChunkBytes = size_t{1} << 18;

bool isPaletted(uint16_t bits) { return bits == 1 || bits == 4 || bits == 8; }
bool isDepth(uint16_t bits) { return isPaletted(bits) || bits == 16 || bits == 24 || bits == 32; }

template <typename T>
void putField(uint8_t*& out, T value) {
  using U = std::make_unsigned_t<T>;
  for (size_t i = 0; i < sizeof(T); ++i) *out++ = static_cast<uint8_t>(static_cast<U>(value) >> (8 * i));
}

void describe(BmpStatus& status, const BitmapInfoHeader& info) {
  status.headerSize = info.biSize;
  status.compression = info.biCompression;
  status.bitsPerPixel = info.biBitCount;
  status.width = info.biWidth;
  status.height = info.biHeight;
}

bool fail(BmpStatus& status, BmpCause cause) {
  status.cause = cause;
  return false;
}

}  // namespace

bool BmpReader::readHeaders(BmpStatus& status) {
  bool headerOk = readField(file_.bfType, source_);
  // An empty file keeps the constructed "BM" here and fails on the next field instead.
  if (file_.bfType != 19778) {
    if (source_.error() != 0) {
      status.systemError = source_.error();
      return fail(status, BmpCause::readFailed);
    }
    status.fileBytes = source_.offset();
    return fail(status, BmpCause::notBmp);
  }
  headerOk = readField(file_.bfSize, source_) && headerOk;
  headerOk = readField(file_.bfReserved1, source_) && headerOk;
  headerOk = readField(file_.bfReserved2, source_) && headerOk;
  headerOk = readField(file_.bfOffBits, source_) && headerOk;

  headerOk = readField(info_.biSize, source_) && headerOk;
  headerOk = readField(info_.biWidth, source_) && headerOk;
  headerOk = readField(info_.biHeight, source_) && headerOk;
  headerOk = readField(info_.biPlanes, source_) && headerOk;
  headerOk = readField(info_.biBitCount, source_) && headerOk;
  headerOk = readField(info_.biCompression, source_) && headerOk;
  headerOk = readField(info_.biSizeImage, source_) && headerOk;
  headerOk = readField(info_.biXPelsPerMeter, source_) && headerOk;
  headerOk = readField(info_.biYPelsPerMeter, source_) && headerOk;
  headerOk = readField(info_.biClrUsed, source_) && headerOk;
  headerOk = readField(info_.biClrImportant, source_) && headerOk;
  if (source_.error() != 0) {
    status.systemError = source_.error();
    return fail(status, BmpCause::readFailed);
  }
  if (!headerOk) {
    status.fileBytes = source_.offset();
    status.headerBytes = 54;
    if (source_.offset() >= 18) status.headerSize = info_.biSize;
    // A 12-byte OS/2 header fits in 26 bytes, so a short file may still be a whole one: a
    // header shorter than 40 bytes that the file holds whole is named as the cause.
    status.extendedReads = extendedReads();
    const uint32_t size = status.headerSize;
    return fail(status, isShortOs2Header(size) && source_.offset() >= 14 + uint64_t{size} ? BmpCause::unsupportedHeader
                                                                               : BmpCause::headerCut);
  }
  return true;
}

bool BmpReader::checkFormat(BmpStatus& status) {
  describe(status, info_);
  const uint16_t bits = info_.biBitCount;
  const uint32_t compression = info_.biCompression;
  BmpCause cause = BmpCause::ok;
  if (!(compression == 0 || (compression == 3 && bits == 16))) {
    cause = BmpCause::unsupportedCompression;
  } else if (!isDepth(bits)) {
    cause = BmpCause::unsupportedDepth;
  } else if (info_.biWidth <= 0 || info_.biHeight == 0) {
    cause = BmpCause::badSize;
  } else if (info_.biHeight < 0) {
    cause = BmpCause::topDown;
  } else if (!limits_.allows(info_.biWidth, info_.biHeight)) {
    cause = BmpCause::tooLarge;
    status.maxPixels = limits_.maxPixels;
  }
  // A header shorter than 40 bytes (OS/2 1.x, 12 bytes; OS/2 2.x, 16 to 39) would be read as
  // if it were 40 bytes long, so the fields past its end are other bytes (the colour table or
  // the pixels): such a file is refused whatever those bytes say, the header itself the cause.
  if (isShortOs2Header(info_.biSize)) cause = BmpCause::unsupportedHeader;
  if (cause == BmpCause::ok) return true;
  status.extendedReads = extendedReads();
  return fail(status, cause);
}

bool BmpReader::extendedReads() const {
  // The bytes consumed so far are exactly the fields as read (a field cut short holds the
  // bytes that arrived as its low-order bytes).
  uint8_t bytes[54];
  uint8_t* out = bytes;
  putField(out, file_.bfType);
  putField(out, file_.bfSize);
  putField(out, file_.bfReserved1);
  putField(out, file_.bfReserved2);
  putField(out, file_.bfOffBits);
  putField(out, info_.biSize);
  putField(out, info_.biWidth);
  putField(out, info_.biHeight);
  putField(out, info_.biPlanes);
  putField(out, info_.biBitCount);
  putField(out, info_.biCompression);
  putField(out, info_.biSizeImage);
  putField(out, info_.biXPelsPerMeter);
  putField(out, info_.biYPelsPerMeter);
  putField(out, info_.biClrUsed);
  putField(out, info_.biClrImportant);
  const size_t consumed = static_cast<size_t>(std::min<uint64_t>(source_.offset(), sizeof bytes));
  return extendedReaderTakes({bytes, consumed}, source_, limits_);
}

void BmpReader::readTable(BmpStatus& status) {
  const uint16_t bits = info_.biBitCount;
  const bool masked = info_.biCompression == 3;
  // bfOffBits counts as signed: an offset of 2^31 or more is negative and leaves neither
  // table entries nor a gap. All differences are exact in 64 bits.
  const int64_t offBits = static_cast<int32_t>(file_.bfOffBits);
  int64_t dataStart = 54;  // where the table (or the masks) start
  if (isPaletted(bits) && info_.biSize > 40 && 14 + int64_t{info_.biSize} <= offBits) {
    dataStart = 14 + int64_t{info_.biSize};
    guardedSkip(static_cast<uint64_t>(dataStart - 54), source_);
  }

  palette_.fill(kBlankPixel);
  int64_t gap = offBits - dataStart;
  if (isPaletted(bits)) {
    const int32_t count = integerPower(2, bits);
    defaultColorTable(bits, palette_.data());
    int64_t entries = (offBits - dataStart) / 4;
    if (entries > count) entries = count;
    int32_t k = 0;
    int32_t arrived = 0;
    for (; k < entries; ++k) {
      // An entry read in part keeps the rest of its default-table bytes; an entry the file
      // lacks altogether keeps its default colour.
      const BitmapPixel current = palette_[static_cast<size_t>(k)];
      uint8_t raw[4] = {current.blue, current.green, current.red, current.alpha};
      if (guardedRead(raw, 4, 1, source_)) ++arrived;
      palette_[static_cast<size_t>(k)] = BitmapPixel{raw[0], raw[1], raw[2], raw[3]};
    }
    for (; k < count; ++k) palette_[static_cast<size_t>(k)] = kBlankPixel;
    status.tableExpected = entries > 0 ? static_cast<int32_t>(entries) : 0;
    status.tableRead = arrived;
    gap -= 4 * int64_t{count};
  } else if (bits == 16 && masked) {
    gap -= 12;
  }
  if (gap < 0) gap = 0;

  if (bits == 16) {
    if (masked) {
      // Each mask is 4 bytes on disk; only its low 16 bits count.
      uint8_t discard[2];
      readField(masks_.red, source_);
      guardedRead(discard, 2, 1, source_);
      readField(masks_.green, source_);
      guardedRead(discard, 2, 1, source_);
      readField(masks_.blue, source_);
      guardedRead(discard, 2, 1, source_);
    }
    masks_.computeShifts();
  }
  if (gap > 0) guardedSkip(static_cast<uint64_t>(gap), source_);
}

bool BmpReader::readRows(RowSink& sink, BmpStatus& status) {
  // Rows go bottom row first, each padded to 4 bytes; they are read a chunk of whole rows at
  // a time. Reading stops at the first row the file does not hold whole; of a 16-bit row cut
  // short, the pixels that arrived whole are kept. Everything not read is painted white with
  // alpha 0, as a fresh grid would be.
  const uint16_t bits = info_.biBitCount;
  const size_t w = static_cast<size_t>(info_.biWidth);
  const size_t height = static_cast<size_t>(info_.biHeight);
  const size_t rowBytes = ((size_t{bits} * w + 31) / 32) * 4;
  const size_t chunkRows = std::min(std::max<size_t>(1, kChunkBytes / rowBytes), height);
  std::vector<uint8_t> chunk;
  try {
    chunk.resize(chunkRows * rowBytes);
  } catch (const std::bad_alloc&) {
    return fail(status, BmpCause::outOfMemory);
  }
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
  size_t rowsLeft = height;  // rows 0 .. rowsLeft - 1 are still to come
  while (rowsLeft > 0) {
    const size_t rows = std::min(chunkRows, rowsLeft);
    const size_t got = source_.read(chunk.data(), rows * rowBytes);
    const size_t whole = got / rowBytes;
    for (size_t k = 0; k < whole; ++k) {
      --rowsLeft;
      unpack(chunk.data() + k * rowBytes, sink.row(rowsLeft), w);
      sink.rowDone(rowsLeft);
    }
    if (got < rows * rowBytes) {
      if (source_.error() != 0) {
        status.systemError = source_.error();
        return fail(status, BmpCause::readFailed);
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

}  // namespace detail

namespace {

// Rows straight into the bitmap's grid.
class GridSink final : public detail::RowSink {
 public:
  GridSink(BitmapPixel* grid, size_t width) : grid_(grid), width_(width) {}
  BitmapPixel* row(size_t y) override { return grid_ + y * width_; }
  void rowDone(size_t) override {}
  void makeRowOpaque(size_t y) override {
    for (BitmapPixel* p = row(y); p != row(y) + width_; ++p) p->alpha = 255;
  }

 private:
  BitmapPixel* grid_;
  size_t width_;
};

}  // namespace

template <typename Reader>
bool Bitmap::loadWith(Reader& reader, const Limits& limits, BmpStatus& status) {
  const auto reject = [this] {
    resize(1, 1);
    changeBitsPerPixel(1);
    return false;
  };
  if (!reader.readHeaders(status)) {
    // Not a BMP file: the bitmap is left as it was.
    return status.cause == BmpCause::notBmp ? false : reject();
  }
  // Taken before the format checks, so a refused file still leaves its resolution behind.
  setPixelsPerMeter(reader.xPixelsPerMeter(), reader.yPixelsPerMeter());
  if (!reader.checkFormat(status)) return reject();
  setPixelsPerMeter(reader.xPixelsPerMeter(), reader.yPixelsPerMeter());
  // The grid is sized without the paint: the reader writes every pixel.
  changeBitsPerPixel(reader.bitmapDepth());
  if (!allocateGrid(reader.width(), reader.height(), limits, false)) {
    status.cause = BmpCause::outOfMemory;
    return reject();
  }
  reader.readTable(status);
  for (size_t k = 0; k < colorTable_.size(); ++k) colorTable_[k] = reader.tableColor(k);
  GridSink sink(grid_.get(), static_cast<size_t>(width_));
  if (!reader.readRows(sink, status)) return reject();
  return true;
}

bool Bitmap::load(detail::ByteSource& source, const Limits& limits, BmpStatus& status) {
  if (limits.extended) {
    detail::ExtendedReader reader(source, limits);
    return loadWith(reader, limits, status);
  }
  detail::BmpReader reader(source, limits);
  return loadWith(reader, limits, status);
}

bool Bitmap::loadFile(const std::string& path, const Limits& limits, BmpStatus* status) {
  BmpStatus local;
  BmpStatus& s = status != nullptr ? *status : local;
  s = BmpStatus{};
  detail::FileSource source(path);
  if (!source.isOpen()) {
    changeBitsPerPixel(1);
    resize(1, 1);
    s.cause = BmpCause::cannotOpen;
    s.systemError = source.openError();
    return false;
  }
  return load(source, limits, s);
}

bool Bitmap::loadMemory(std::span<const uint8_t> bytes, const Limits& limits, BmpStatus* status) {
  BmpStatus local;
  BmpStatus& s = status != nullptr ? *status : local;
  s = BmpStatus{};
  detail::MemorySource source(bytes.data(), bytes.size());
  return load(source, limits, s);
}

}  // namespace bmpfun
