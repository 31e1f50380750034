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
#include "bmp/extended_reader.hpp"

#include "bmp/info_header.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <memory>
#include <vector>

namespace bmpfun::detail {

namespace {

constexpr BitmapPixel kUndrawn{0, 0, 0, 0};
constexpr BitmapPixel kMissingEntry{0, 0, 0, 255};
// Pixel rows are read a segment at a time (a whole row when it fits).
constexpr size_t kSegmentBytes = size_t{1} << 16;

bool fail(BmpStatus& status, BmpCause cause) {
  status.cause = cause;
  return false;
}

bool contiguous(uint32_t mask) {
  if (mask == 0) return true;
  const uint32_t low = mask >> std::countr_zero(mask);
  return (low & (low + 1)) == 0;
}

// The mask's bits of value, packed together lowest first.
uint32_t gatherBits(uint32_t value, uint32_t mask) {
  uint32_t result = 0;
  uint32_t bit = 1;
  for (; mask != 0; mask &= mask - 1, bit <<= 1) {
    if ((value & mask & (~mask + 1)) != 0) result |= bit;
  }
  return result;
}

// One channel of a bit-field pixel, scaled to 8 bits by rounding.
class Channel {
 public:
  Channel() = default;
  explicit Channel(uint32_t mask)
      : mask_(mask),
        shift_(mask == 0 ? 0 : std::countr_zero(mask)),
        width_(std::popcount(mask)),
        gather_(!contiguous(mask)) {
    const uint64_t top = width_ == 0 ? 1 : (uint64_t{1} << width_) - 1;
    if (width_ <= 8) {
      for (uint64_t v = 0; v <= top && width_ > 0; ++v) lut_[static_cast<size_t>(v)] = static_cast<uint8_t>((510 * v + top) / (2 * top));
    }
    top_ = top;
  }
  uint32_t field(uint32_t pixel) const {
    return gather_ ? gatherBits(pixel, mask_) : (pixel & mask_) >> shift_;
  }
  uint8_t scale(uint32_t v) const {
    if (width_ <= 8) return lut_[v];
    return static_cast<uint8_t>((510 * uint64_t{v} + top_) / (2 * top_));
  }
  uint8_t operator()(uint32_t pixel) const { return scale(field(pixel)); }
  // The 8-bit values of every field, for fields of at most 8 bits.
  const uint8_t* table() const { return lut_.data(); }

 private:
  uint32_t mask_ = 0;
  int shift_ = 0;
  int width_ = 0;
  bool gather_ = false;
  uint64_t top_ = 1;
  std::array<uint8_t, 256> lut_{};
};

// File bytes -> pixels of one layout (rows; RLE draws through the palette itself).
class Unpacker {
 public:
  Unpacker(const PixelLayout& layout, const Palette& palette)
      : bits_(layout.bits), palette_(palette), hasAlpha_(layout.masks[3] != 0) {
    bool small = true;
    for (size_t c = 0; c < 4; ++c) {
      channels_[c] = Channel(layout.masks[c]);
      small = small && contiguous(layout.masks[c]) && std::popcount(layout.masks[c]) <= 8;
      masks_[c] = layout.masks[c];
      shifts_[c] = layout.masks[c] == 0 ? 0 : std::countr_zero(layout.masks[c]);
    }
    // Fields of at most 8 contiguous bits (nearly every file) take one table look-up each.
    small_ = small;
  }
  // count pixels from in (which starts on a pixel boundary at a byte) into out.
  void operator()(const uint8_t* in, BitmapPixel* out, size_t count) {
    switch (bits_) {
      case 1: unpackRow1(in, out, count, palette_); break;
      case 2:
        for (size_t x = 0; x < count; ++x) out[x] = palette_[(unsigned{in[x / 4]} >> (6 - 2 * (x % 4))) & 3u];
        break;
      case 4: unpackRow4(in, out, count, palette_); break;
      case 8: unpackRow8(in, out, count, palette_); break;
      case 24:
        for (size_t x = 0; x < count; ++x, in += 3) out[x] = BitmapPixel{in[0], in[1], in[2], 255};
        break;
      case 16:
        if (small_) smallFields<2>(in, out, count);
        else anyFields<2>(in, out, count);
        break;
      default:
        if (small_) smallFields<4>(in, out, count);
        else anyFields<4>(in, out, count);
        break;
    }
  }
  // Whether some alpha field of the pixels so far was not 0.
  bool alphaSeen() const { return alphaSeen_; }
  bool hasAlpha() const { return hasAlpha_; }

 private:
  template <size_t Bytes>
  static uint32_t load(const uint8_t* in) {
    if constexpr (Bytes == 2) {
      return uint32_t{in[0]} | uint32_t{in[1]} << 8;
    } else {
      return uint32_t{in[0]} | uint32_t{in[1]} << 8 | uint32_t{in[2]} << 16 | uint32_t{in[3]} << 24;
    }
  }
  template <size_t Bytes>
  void smallFields(const uint8_t* in, BitmapPixel* out, size_t count) {
    // A zero alpha mask gives a field of 0, which the table of a zero-width channel maps to 0:
    // the alpha byte is then made 255 afterwards in one pass.
    uint32_t seen = 0;
    const uint8_t* r = channels_[0].table();
    const uint8_t* g = channels_[1].table();
    const uint8_t* b = channels_[2].table();
    const uint8_t* a = channels_[3].table();
    for (size_t x = 0; x < count; ++x, in += Bytes) {
      const uint32_t v = load<Bytes>(in);
      seen |= v & masks_[3];
      out[x] = BitmapPixel{b[(v & masks_[2]) >> shifts_[2]], g[(v & masks_[1]) >> shifts_[1]],
                           r[(v & masks_[0]) >> shifts_[0]], a[(v & masks_[3]) >> shifts_[3]]};
    }
    alphaSeen_ = alphaSeen_ || seen != 0;
    if (!hasAlpha_) {
      for (size_t x = 0; x < count; ++x) out[x].alpha = 255;
    }
  }
  template <size_t Bytes>
  void anyFields(const uint8_t* in, BitmapPixel* out, size_t count) {
    for (size_t x = 0; x < count; ++x, in += Bytes) {
      const uint32_t v = load<Bytes>(in);
      uint8_t alpha = 255;
      if (hasAlpha_) {
        const uint32_t a = channels_[3].field(v);
        alphaSeen_ = alphaSeen_ || a != 0;
        alpha = channels_[3].scale(a);
      }
      out[x] = BitmapPixel{channels_[2](v), channels_[1](v), channels_[0](v), alpha};
    }
  }

  uint16_t bits_;
  const Palette& palette_;
  bool hasAlpha_;
  bool small_ = false;
  bool alphaSeen_ = false;
  std::array<Channel, 4> channels_;
  std::array<uint32_t, 4> masks_{};
  std::array<int, 4> shifts_{};
};

// The rows of the picture in file order; each is handed out painted undrawn and returned to
// the sink once, so skipped rows cost one fill.
class RowCursor {
 public:
  RowCursor(RowSink& sink, const PixelLayout& layout)
      : sink_(sink), width_(static_cast<size_t>(layout.width)), height_(static_cast<size_t>(layout.height)),
        topDown_(layout.topDown) {}
  size_t y(size_t fileRow) const { return topDown_ ? fileRow : height_ - 1 - fileRow; }
  size_t next() const { return next_; }
  // The next row for drawing, painted undrawn unless the caller writes all of it itself.
  BitmapPixel* open(bool paint = true) {
    BitmapPixel* row = sink_.row(y(next_));
    if (paint) std::fill(row, row + width_, kUndrawn);
    return row;
  }
  // Hands the open row back.
  void close() { sink_.rowDone(y(next_++)); }
  // Every row from the next one on up to (not including) fileRow, undrawn.
  void skipTo(size_t fileRow) {
    while (next_ < std::min(fileRow, height_)) {
      open();
      close();
    }
  }

 private:
  RowSink& sink_;
  size_t width_;
  size_t height_;
  bool topDown_;
  size_t next_ = 0;
};

}  // namespace

// ---- HeadedInput

size_t HeadedInput::fillHead() {
  headSize_ = source_.read(head_.data(), head_.size());
  return headSize_;
}

uint32_t HeadedInput::u16(size_t at) const {
  uint32_t v = 0;
  for (size_t i = 0; i < 2; ++i) v |= uint32_t{at + i < headSize_ ? head_[at + i] : uint8_t{0}} << (8 * i);
  return v;
}

uint32_t HeadedInput::u32(size_t at) const {
  uint32_t v = 0;
  for (size_t i = 0; i < 4; ++i) v |= uint32_t{at + i < headSize_ ? head_[at + i] : uint8_t{0}} << (8 * i);
  return v;
}

bool HeadedInput::seek(uint64_t offset) {
  if (offset <= position_) return offset == position_;
  const uint64_t sourceAt = std::max<uint64_t>(position_, headSize_);
  if (offset <= headSize_) {
    position_ = offset;
    return true;
  }
  const uint64_t passed = source_.skip(offset - sourceAt);
  position_ = sourceAt + passed;
  return position_ == offset;
}

size_t HeadedInput::read(uint8_t* out, size_t count) {
  size_t done = 0;
  if (position_ < headSize_) {
    done = std::min(count, headSize_ - static_cast<size_t>(position_));
    std::memcpy(out, head_.data() + position_, done);
    position_ += done;
  }
  if (done < count) {
    const size_t got = source_.read(out + done, count - done);
    position_ += got;
    done += got;
  }
  return done;
}

// ---- ExtendedReader

bool ExtendedReader::readHeaders(BmpStatus& status) {
  const size_t got = input_.fillHead();
  if (input_.error() != 0) {
    status.systemError = input_.error();
    return fail(status, BmpCause::readFailed);
  }
  const std::span<const uint8_t> head = input_.head();
  // A file too short to hold the whole signature is cut short, not foreign, as long as what
  // it holds agrees with "BM" (the default reader's rule).
  if ((got >= 1 && head[0] != 'B') || (got >= 2 && head[1] != 'M')) {
    status.fileBytes = std::min<size_t>(got, 2);
    return fail(status, BmpCause::notBmp);
  }
  uint64_t need = 54;
  if (got >= 18) {
    infoSize_ = input_.u32(14);
    status.headerSize = infoSize_;
    const HeaderKind kind = headerKindOf(infoSize_);
    if (kind == HeaderKind::os2v1) need = 26;
    if (kind == HeaderKind::os2v2 && infoSize_ < 40) need = 14 + uint64_t{infoSize_};
  }
  if (got < need) {
    status.fileBytes = got;
    status.headerBytes = need;
    return fail(status, BmpCause::headerCut);
  }
  // The resolution, known before the format checks (a refused file leaves it behind too).
  if (infoSize_ != 12 && need >= 46) {
    layout_.xPixelsPerMeter = static_cast<int32_t>(input_.u32(38));
    layout_.yPixelsPerMeter = static_cast<int32_t>(input_.u32(42));
  }
  return true;
}

bool ExtendedReader::checkFormat(BmpStatus& status) {
  if (extendedLayout(status)) return true;
  BmpStatus fallback = status;
  if (!defaultLayout(fallback)) return false;
  status = fallback;
  status.cause = BmpCause::ok;
  status.defaultLayout = true;
  return true;
}

bool ExtendedReader::extendedLayout(BmpStatus& status) {
  const HeaderKind kind = headerKindOf(infoSize_);
  const bool os2v1 = kind == HeaderKind::os2v1;
  // A field of an OS/2 2.x header shorter than 40 bytes that lies past its end reads as 0.
  const uint64_t fieldsEnd = kind == HeaderKind::os2v2 && infoSize_ < 40 ? 14 + uint64_t{infoSize_} : 54;
  const auto field32 = [&](size_t at) { return at + 4 <= fieldsEnd ? input_.u32(at) : 0u; };
  const auto field16 = [&](size_t at) { return at + 2 <= fieldsEnd ? input_.u16(at) : 0u; };

  int64_t width = 0, height = 0;
  uint32_t bits = 0, compression = 0, colorsUsed = 0;
  PixelLayout& l = layout_;
  l = PixelLayout{};
  if (os2v1) {
    width = input_.u16(18);
    height = input_.u16(20);
    bits = input_.u16(24);
  } else {
    width = static_cast<int32_t>(field32(18));
    height = static_cast<int32_t>(field32(22));
    bits = field16(28);
    compression = field32(30);
    l.xPixelsPerMeter = static_cast<int32_t>(field32(38));
    l.yPixelsPerMeter = static_cast<int32_t>(field32(42));
    colorsUsed = field32(46);
  }
  status.headerSize = infoSize_;
  status.compression = compression;
  status.bitsPerPixel = bits;
  status.width = static_cast<int32_t>(width);
  status.height = static_cast<int32_t>(height);

  if (kind == HeaderKind::invalid) return fail(status, BmpCause::unsupportedHeader);
  const bool huffman = kind == HeaderKind::os2v2 && compression == 3 && bits == 1;
  if (compression == 4 || compression == 5 || compression > 6 || huffman) {
    return fail(status, BmpCause::unsupportedCompression);
  }
  const bool depthOk = os2v1 ? (bits == 1 || bits == 4 || bits == 8 || bits == 24)
                             : (bits == 1 || bits == 2 || bits == 4 || bits == 8 || bits == 16 || bits == 24 ||
                                bits == 32);
  if (!depthOk) return fail(status, BmpCause::unsupportedDepth);
  const bool fields = compression == 3 || compression == 6;
  if ((compression == 1 && bits != 8) || (compression == 2 && bits != 4) || (fields && bits != 16 && bits != 32)) {
    return fail(status, BmpCause::unsupportedCompression);
  }
  if (width <= 0 || height == 0 || height == INT32_MIN) return fail(status, BmpCause::badSize);
  l.width = static_cast<int32_t>(width);
  l.height = static_cast<int32_t>(height < 0 ? -height : height);
  l.topDown = height < 0;
  l.bits = static_cast<uint16_t>(bits);
  l.coding = compression == 1 ? PixelLayout::Coding::rle8
             : compression == 2 ? PixelLayout::Coding::rle4
                                : PixelLayout::Coding::rows;

  const uint64_t offBits = input_.u32(10);
  const uint64_t headerEnd = 14 + uint64_t{infoSize_};
  // The rows start at bfOffBits, however far it points into a header longer than 40 bytes
  // (where the default reader starts them too), but not before the first 40 bytes of the info
  // header and the masks that follow such a header.
  uint64_t rowsFloor = 14 + uint64_t{std::min<uint32_t>(infoSize_, 40)};
  if (fields) {
    // R, G, B (and A) inside the header at 54, or right after a 40-byte or OS/2 2.x header:
    // either way within the first bytes of the file, which the input keeps.
    const bool inside = masksInHeader(kind);
    const bool alpha = compression == 6 || (inside && kind != HeaderKind::windows52);
    const size_t count = alpha ? 4 : 3;
    const size_t maskAt = inside ? 54 : static_cast<size_t>(headerEnd);
    // Three 16-bit masks at 54 end where the default reader starts the rows of such a file.
    rowsFloor = inside ? std::max<uint64_t>(rowsFloor, bits == 16 ? 66 : 54) : maskAt + 4 * count;
    // Masks the file does not hold whole leave no pixel data behind them: they stay 0.
    if (input_.head().size() >= maskAt + 4 * count) {
      const uint32_t depthBits = bits == 16 ? 0xFFFFu : 0xFFFFFFFFu;
      for (size_t c = 0; c < count; ++c) l.masks[c] = input_.u32(maskAt + 4 * c) & depthBits;
    }
    for (size_t c = 0; c < 4; ++c) {
      if (!contiguous(l.masks[c])) return fail(status, BmpCause::masksNotContiguous);
      for (size_t d = 0; d < c; ++d) {
        if ((l.masks[c] & l.masks[d]) != 0) return fail(status, BmpCause::masksOverlap);
      }
    }
  } else if (bits == 16) {
    l.masks = {0x7C00, 0x03E0, 0x001F, 0};
  } else if (bits == 32) {
    l.masks = {0xFF0000, 0xFF00, 0xFF, 0};
  }
  if (!limits_.allows(l.width, l.height)) {
    status.maxPixels = limits_.maxPixels;
    return fail(status, BmpCause::tooLarge);
  }

  if (bits <= 8) {
    l.tableAt = 14 + uint64_t{infoSize_};
    l.entryBytes = os2v1 ? 3 : 4;
    const uint32_t full = uint32_t{1} << bits;
    const uint64_t wanted = colorsUsed > 0 && colorsUsed < full ? colorsUsed : full;
    const uint64_t fit = offBits > l.tableAt ? (offBits - l.tableAt) / l.entryBytes : 0;
    l.tableEntries = static_cast<uint32_t>(std::min(wanted, fit));
    // The entries read end at or before bfOffBits; with bfOffBits inside the header there
    // are none.
  }
  l.dataAt = std::max(offBits, rowsFloor);
  status.alphaMask = l.masks[3] != 0;
  return true;
}

bool ExtendedReader::defaultLayout(BmpStatus& status) {
  // The default reader's header rules (reader.cpp): the first 40 bytes of the info header
  // whatever its size, compression 0 or 3 at 16 bits, bottom-up rows.
  if (input_.head().size() < 54) return false;
  const int32_t width = static_cast<int32_t>(input_.u32(18));
  const int32_t height = static_cast<int32_t>(input_.u32(22));
  const uint32_t bits = input_.u16(28);
  const uint32_t compression = input_.u32(30);
  const bool paletted = bits == 1 || bits == 4 || bits == 8;
  if (!(compression == 0 || (compression == 3 && bits == 16))) return false;
  if (!paletted && bits != 16 && bits != 24 && bits != 32) return false;
  if (width <= 0 || height <= 0 || !limits_.allows(width, height)) return false;

  PixelLayout& l = layout_;
  l = PixelLayout{};
  l.width = width;
  l.height = height;
  l.bits = static_cast<uint16_t>(bits);
  l.xPixelsPerMeter = static_cast<int32_t>(input_.u32(38));
  l.yPixelsPerMeter = static_cast<int32_t>(input_.u32(42));
  status.headerSize = infoSize_;
  status.compression = compression;
  status.bitsPerPixel = bits;
  status.width = width;
  status.height = height;
  // bfOffBits counts as signed there.
  const int64_t offBits = static_cast<int32_t>(input_.u32(10));
  if (paletted) {
    const int64_t count = int64_t{1} << bits;
    const int64_t infoEnd = 14 + int64_t{infoSize_};
    const int64_t tableAt = infoSize_ > 40 && infoEnd <= offBits ? infoEnd : 54;
    const int64_t entries = std::clamp<int64_t>((offBits - tableAt) / 4, 0, count);
    l.tableAt = static_cast<uint64_t>(tableAt);
    l.tableEntries = static_cast<uint32_t>(entries);
    l.dataAt = static_cast<uint64_t>(tableAt + 4 * entries + std::max<int64_t>(0, offBits - tableAt - 4 * count));
  } else if (bits == 16 && compression == 3) {
    // Only the low 16 bits of each mask count; a mask with a gap is read bit by bit.
    l.masks = {input_.u16(54), input_.u16(58), input_.u16(62), 0};
    l.dataAt = static_cast<uint64_t>(std::max<int64_t>(66, offBits));
  } else {
    if (bits == 16) l.masks = {0x7C00, 0x03E0, 0x001F, 0};
    if (bits == 32) l.masks = {0xFF0000, 0xFF00, 0xFF, 0};
    l.dataAt = static_cast<uint64_t>(std::max<int64_t>(54, offBits));
  }
  return true;
}

int32_t ExtendedReader::bitmapDepth() const {
  if (layout_.bits == 2) return 4;
  if (layout_.bits == 16 && layout_.masks[3] != 0) return 32;
  return layout_.bits;
}

void ExtendedReader::readTable(BmpStatus& status) {
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

bool ExtendedReader::readRows(RowSink& sink, BmpStatus& status) {
  status.rowsExpected = layout_.height;
  const bool ok = layout_.coding == PixelLayout::Coding::rows ? readRowsUncompressed(sink, status)
                                                              : readRowsRle(sink, status);
  if (input_.error() != 0) {
    status.systemError = input_.error();
    return fail(status, BmpCause::readFailed);
  }
  return ok;
}

bool ExtendedReader::readRowsUncompressed(RowSink& sink, BmpStatus& status) {
  const PixelLayout& l = layout_;
  const size_t width = static_cast<size_t>(l.width);
  const size_t bits = l.bits;
  const uint64_t rowBytes = (uint64_t{bits} * width + 31) / 32 * 4;
  // A segment is a whole number of bytes and of pixels: a multiple of 8 pixels.
  const size_t segmentPixels = std::max<size_t>(8, kSegmentBytes * 8 / bits / 8 * 8);
  std::vector<uint8_t> buffer(static_cast<size_t>(std::min<uint64_t>(rowBytes, segmentPixels * bits / 8 + 4)));
  Unpacker unpack(l, palette_);
  RowCursor rows(sink, l);
  bool more = input_.seek(l.dataAt);
  const size_t height = static_cast<size_t>(l.height);
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
  return true;
}

namespace {

// The RLE data, read through a window; every byte is consumed once.
class ByteWindow {
 public:
  explicit ByteWindow(HeadedInput& input) : input_(input) {}
  bool next(uint8_t& byte) {
    if (at_ == size_) {
      if (ended_) return false;
      size_ = input_.read(window_.data(), window_.size());
      at_ = 0;
      ended_ = size_ < window_.size();
      if (size_ == 0) return false;
    }
    byte = window_[at_++];
    return true;
  }

 private:
  HeadedInput& input_;
  std::array<uint8_t, size_t{1} << 16> window_{};
  size_t size_ = 0;
  size_t at_ = 0;
  bool ended_ = false;
};

}  // namespace

bool ExtendedReader::readRowsRle(RowSink& sink, BmpStatus& status) {
  const PixelLayout& l = layout_;
  const bool rle4 = l.coding == PixelLayout::Coding::rle4;
  const size_t width = static_cast<size_t>(l.width);
  const size_t height = static_cast<size_t>(l.height);
  RowCursor rows(sink, l);
  auto window = std::make_unique<ByteWindow>(input_);
  bool dataEnded = !input_.seek(l.dataAt);
  bool finished = false;  // end of bitmap, or past the last row
  BitmapPixel* row = dataEnded ? nullptr : rows.open();
  size_t x = 0;
  // x never passes the width: what lies beyond the row end is dropped.
  const auto draw = [&](uint8_t index) {
    if (x < width) row[x++] = palette_[index];
  };
  while (!dataEnded && !finished) {
    uint8_t count = 0, value = 0;
    if (!window->next(count) || !window->next(value)) {
      dataEnded = true;
      break;
    }
    if (count > 0) {
      // An encoded run; pixels past the row end are dropped.
      const size_t n = std::min<size_t>(count, width - x);
      for (size_t k = 0; k < n; ++k) draw(rle4 ? static_cast<uint8_t>(k % 2 == 0 ? value >> 4 : value & 15) : value);
      continue;
    }
    if (value == 0) {  // end of line
      rows.close();
      x = 0;
      if (rows.next() >= height) finished = true;
      else row = rows.open();
    } else if (value == 1) {  // end of bitmap
      rows.close();
      finished = true;
    } else if (value == 2) {  // delta: right dx, on dy rows
      uint8_t dx = 0, dy = 0;
      if (!window->next(dx) || !window->next(dy)) {
        dataEnded = true;
        break;
      }
      x = std::min(width, x + dx);
      if (dy > 0) {
        const size_t target = rows.next() + dy;
        rows.close();
        rows.skipTo(target);
        if (target >= height) finished = true;
        else row = rows.open();
      }
    } else {  // absolute run of `value` indices, padded to 16 bits
      const size_t n = value;
      const size_t bytes = rle4 ? (n + 1) / 2 : n;
      for (size_t k = 0; k < bytes + bytes % 2; ++k) {
        uint8_t b = 0;
        if (!window->next(b)) {
          dataEnded = true;
          break;
        }
        if (k >= bytes) continue;
        if (rle4) {
          draw(static_cast<uint8_t>(b >> 4));
          if (2 * k + 1 < n) draw(static_cast<uint8_t>(b & 15));
        } else {
          draw(b);
        }
      }
    }
  }
  if (dataEnded) {
    status.rowsRead = static_cast<int32_t>(rows.next());
    if (row != nullptr) rows.close();
  } else {
    status.rowsRead = static_cast<int32_t>(height);
  }
  rows.skipTo(height);
  return true;
}

// ---- The default reader's question: would the extended reader take this file?

namespace {

// The bytes the default reader consumed, then the rest of its source.
class ChainSource final : public ByteSource {
 public:
  ChainSource(std::span<const uint8_t> prefix, ByteSource& rest) : prefix_(prefix), rest_(rest) {}
  size_t read(void* buffer, size_t count) override {
    if (ended_ || count == 0) return 0;
    const size_t first = std::min(count, prefix_.size() - at_);
    std::memcpy(buffer, prefix_.data() + at_, first);
    at_ += first;
    const size_t second = first < count ? rest_.read(static_cast<uint8_t*>(buffer) + first, count - first) : 0;
    offset_ += first + second;
    if (first + second < count) ended_ = true;
    return first + second;
  }
  uint64_t skip(uint64_t count) override {
    if (ended_ || count == 0) return 0;
    const uint64_t first = std::min<uint64_t>(count, prefix_.size() - at_);
    at_ += static_cast<size_t>(first);
    const uint64_t second = first < count ? rest_.skip(count - first) : 0;
    offset_ += first + second;
    if (first + second < count) ended_ = true;
    return first + second;
  }
  bool eof() const override { return ended_; }
  int error() const override { return rest_.error(); }
  uint64_t offset() const override { return offset_; }

 private:
  std::span<const uint8_t> prefix_;
  ByteSource& rest_;
  size_t at_ = 0;
  uint64_t offset_ = 0;
  bool ended_ = false;
};

}  // namespace

bool extendedReaderTakes(std::span<const uint8_t> prefix, ByteSource& rest, const Limits& limits) {
  ChainSource chain(prefix, rest);
  ExtendedReader reader(chain, limits);
  BmpStatus status;
  return reader.readHeaders(status) && reader.checkFormat(status);
}

}  // namespace bmpfun::detail
