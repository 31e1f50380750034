#include "bmp/policies.hpp"

#include "bmp/bit_fields.hpp"

#include <algorithm>
#include <cstdint>

namespace bmpfun::detail {

namespace {

bool fail(Status& status, Cause cause) {
  status.cause = cause;
  return false;
}

bool readFailed(Status& status, int error) {
  status.systemError = error;
  return fail(status, Cause::readFailed);
}

bool isPaletted(uint32_t bits) { return bits == 1 || bits == 4 || bits == 8; }

// The header's values as a status reports them.
void note(Status& status, const HeaderDescription& h, const HeaderValues& v) {
  status.headerSize = h.infoSize;
  status.compression = v.compression;
  status.bitsPerPixel = v.bits;
  status.width = static_cast<int32_t>(v.width);
  status.height = static_cast<int32_t>(v.height);
}

// The default reader's checks of the 40-byte reading, in order; ok when all pass.
Cause fortyCause(const HeaderDescription& h, const Limits& limits) {
  const HeaderValues& v = h.forty;
  if (!(v.compression == 0 || (v.compression == 3 && v.bits == 16))) return Cause::unsupportedCompression;
  if (!isPaletted(v.bits) && v.bits != 16 && v.bits != 24 && v.bits != 32) return Cause::unsupportedDepth;
  if (v.width <= 0 || v.height == 0) return Cause::badSize;
  if (v.height < 0) return Cause::topDown;
  if (!limits.allows(static_cast<int32_t>(v.width), static_cast<int32_t>(v.height))) return Cause::tooLarge;
  return Cause::ok;
}

constexpr std::array<uint32_t, 4> kMasks16{0x7C00, 0x03E0, 0x001F, 0};  // X1R5G5B5
constexpr std::array<uint32_t, 4> kMasks32{0xFF0000, 0xFF00, 0xFF, 0};  // BGRX

// The extended reader's own rules.
bool extendedLayout(const HeaderDescription& h, const Limits& limits, PixelLayout& layout, Status& status) {
  const HeaderKind kind = h.kind;
  const bool os2v1 = kind == HeaderKind::os2v1;
  const HeaderValues& v = h.own;
  const uint32_t bits = v.bits, compression = v.compression;
  note(status, h, v);

  if (kind == HeaderKind::invalid) return fail(status, Cause::unsupportedHeader);
  // OS/2 2.x headers use 3 at 1 bit for Huffman 1D and 4 at 24 bits for RLE24.
  const bool huffman = kind == HeaderKind::os2v2 && compression == 3 && bits == 1;
  if (compression == 4 || compression == 5 || compression > 6 || huffman) {
    return fail(status, Cause::unsupportedCompression);
  }
  const bool depthOk = os2v1 ? (bits == 1 || bits == 4 || bits == 8 || bits == 24)
                             : (isPaletted(bits) || bits == 2 || bits == 16 || bits == 24 || bits == 32);
  if (!depthOk) return fail(status, Cause::unsupportedDepth);
  const bool fields = compression == 3 || compression == 6;
  if ((compression == 1 && bits != 8) || (compression == 2 && bits != 4) || (fields && bits != 16 && bits != 32)) {
    return fail(status, Cause::unsupportedCompression);
  }
  if (v.width <= 0 || v.height == 0 || v.height == INT32_MIN) return fail(status, Cause::badSize);
  PixelLayout l;
  l.width = static_cast<int32_t>(v.width);
  l.height = static_cast<int32_t>(v.height < 0 ? -v.height : v.height);
  l.topDown = v.height < 0;
  l.bits = static_cast<uint16_t>(bits);
  l.coding = compression == 1 ? PixelLayout::Coding::rle8
             : compression == 2 ? PixelLayout::Coding::rle4
                                : PixelLayout::Coding::rows;
  l.xPixelsPerMeter = v.xPixelsPerMeter;
  l.yPixelsPerMeter = v.yPixelsPerMeter;

  const uint64_t offBits = h.offBits;
  const uint64_t headerEnd = kInfoHeaderAt + uint64_t{h.infoSize};
  // The rows start at bfOffBits, however far it points into a header longer than 40 bytes
  // (where the default reader starts them too), but not before the first 40 bytes of the info
  // header and the masks that follow such a header.
  uint64_t rowsFloor = kInfoHeaderAt + uint64_t{std::min<uint32_t>(h.infoSize, 40)};
  if (fields) {
    // R, G, B (and A) inside the header at 54, or right after a 40-byte or OS/2 2.x header:
    // either way within the first bytes of the file, which the description keeps.
    const bool inside = masksInHeader(kind);
    const bool alpha = compression == 6 || (inside && kind != HeaderKind::windows52);
    const uint64_t count = alpha ? 4 : 3;
    const uint64_t maskAt = inside ? kFortyEnd : headerEnd;
    // Three 16-bit masks at 54 end where the default reader starts the rows of such a file.
    rowsFloor = inside ? std::max<uint64_t>(rowsFloor, bits == 16 ? 66 : 54) : maskAt + 4 * count;
    // Masks the file does not hold whole leave no pixel data behind them: they stay 0.
    if (h.head.size() >= maskAt + 4 * count) {
      const uint32_t depthBits = bits == 16 ? 0xFFFFu : 0xFFFFFFFFu;
      for (size_t c = 0; c < count; ++c) l.masks[c] = h.u32(maskAt + 4 * c) & depthBits;
    }
    const Cause cause = maskCause(l.masks);
    if (cause != Cause::ok) return fail(status, cause);
  } else if (bits == 16) {
    l.masks = kMasks16;
  } else if (bits == 32) {
    l.masks = kMasks32;
  }
  if (!limits.allows(l.width, l.height)) {
    status.maxPixels = limits.maxPixels;
    return fail(status, Cause::tooLarge);
  }

  if (bits <= 8) {
    // At 14 + biSize: biClrUsed entries when 0 < biClrUsed < 2^bits, else 2^bits, but only
    // as many as end at or before bfOffBits (none with bfOffBits inside the header).
    l.tableAt = headerEnd;
    l.entryBytes = os2v1 ? 3 : 4;
    const uint32_t full = uint32_t{1} << bits;
    const uint64_t wanted = v.colorsUsed > 0 && v.colorsUsed < full ? v.colorsUsed : full;
    const uint64_t fit = offBits > l.tableAt ? (offBits - l.tableAt) / l.entryBytes : 0;
    l.tableEntries = static_cast<uint32_t>(std::min(wanted, fit));
  }
  l.dataAt = std::max(offBits, rowsFloor);
  status.alphaMask = l.masks[3] != 0;
  layout = l;
  return true;
}

}  // namespace

bool DefaultPolicy::headers(const HeaderDescription& h, Status& status) {
  // The fields are read one by one, so a read error shows only once the reading reaches it.
  const uint64_t n = h.head.size();
  if (!h.signatureAgrees) {
    if (n < 2 && h.readError != 0) return readFailed(status, h.readError);
    status.fileBytes = std::min<uint64_t>(n, 2);
    return fail(status, Cause::notBmp);
  }
  if (n < kFortyEnd && h.readError != 0) return readFailed(status, h.readError);
  if (n < kFortyEnd) {
    status.fileBytes = n;
    status.headerBytes = kFortyEnd;
    status.headerSize = h.infoSize;
    // A 12-byte OS/2 header fits in 26 bytes, so a short file may still be a whole one: a
    // header shorter than 40 bytes that the file holds whole is named as the cause.
    const bool whole = isShortOs2Header(h.infoSize) && n >= kInfoHeaderAt + h.infoSize;
    return fail(status, whole ? Cause::unsupportedHeader : Cause::headerCut);
  }
  return true;
}

bool DefaultPolicy::format(const HeaderDescription& h, const Limits& limits, Status& status) {
  note(status, h, h.forty);
  Cause cause = fortyCause(h, limits);
  if (cause == Cause::tooLarge) status.maxPixels = limits.maxPixels;
  // A header shorter than 40 bytes (OS/2 1.x, 12 bytes; OS/2 2.x, 16 to 39) would be read as
  // if it were 40 bytes long, so the fields past its end are other bytes (the colour table or
  // the pixels): such a file is refused whatever those bytes say, the header itself the cause.
  if (isShortOs2Header(h.infoSize)) cause = Cause::unsupportedHeader;
  return cause == Cause::ok || fail(status, cause);
}

PixelLayout DefaultPolicy::layout(const HeaderDescription& h) {
  const HeaderValues& v = h.forty;
  PixelLayout l;
  l.width = static_cast<int32_t>(v.width);
  l.height = static_cast<int32_t>(v.height);
  l.bits = static_cast<uint16_t>(v.bits);
  l.xPixelsPerMeter = v.xPixelsPerMeter;
  l.yPixelsPerMeter = v.yPixelsPerMeter;
  // bfOffBits counts as signed: an offset of 2^31 or more is negative and leaves neither
  // table entries nor a gap. All differences are exact in 64 bits.
  const int64_t offBits = static_cast<int32_t>(h.offBits);
  const auto forty = static_cast<int64_t>(kFortyEnd);
  if (isPaletted(v.bits)) {
    const int64_t count = int64_t{1} << v.bits;
    const int64_t infoEnd = static_cast<int64_t>(kInfoHeaderAt) + int64_t{h.infoSize};
    // Only a longer header that ends at or before the pixel data carries the table after it.
    const int64_t tableAt = h.infoSize > 40 && infoEnd <= offBits ? infoEnd : forty;
    const int64_t entries = std::clamp<int64_t>((offBits - tableAt) / 4, 0, count);
    l.tableAt = static_cast<uint64_t>(tableAt);
    l.tableEntries = static_cast<uint32_t>(entries);
    l.dataAt = static_cast<uint64_t>(tableAt + 4 * entries + std::max<int64_t>(0, offBits - tableAt - 4 * count));
  } else if (v.bits == 16 && v.compression == 3) {
    // Each mask is 4 bytes on disk; only its low 16 bits count.
    for (size_t c = 0; c < 3; ++c) l.masks[c] = h.u16(kFortyEnd + 4 * c);
    l.dataAt = static_cast<uint64_t>(std::max<int64_t>(forty + 12, offBits));
  } else {
    if (v.bits == 16) l.masks = kMasks16;
    if (v.bits == 32) l.masks = kMasks32;
    l.dataAt = static_cast<uint64_t>(std::max<int64_t>(forty, offBits));
  }
  return l;
}

bool ExtendedPolicy::headers(const HeaderDescription& h, Status& status) {
  if (h.readError != 0) return readFailed(status, h.readError);
  const uint64_t n = h.head.size();
  // A file too short to hold the whole signature is cut short, not foreign, as long as what
  // it holds agrees with "BM" (the default reader's rule).
  if (!h.signatureAgrees) {
    status.fileBytes = std::min<uint64_t>(n, 2);
    return fail(status, Cause::notBmp);
  }
  status.headerSize = h.infoSize;
  if (n < h.ownEnd) {
    status.fileBytes = n;
    status.headerBytes = h.ownEnd;
    return fail(status, Cause::headerCut);
  }
  return true;
}

bool ExtendedPolicy::format(const HeaderDescription& h, const Limits& limits, PixelLayout& layout,
                            Status& status) {
  if (extendedLayout(h, limits, layout, status)) return true;
  if (h.head.size() < kFortyEnd || fortyCause(h, limits) != Cause::ok) return false;
  // The status keeps what the refusal noted, with the default reader's values.
  note(status, h, h.forty);
  status.cause = Cause::ok;
  status.defaultLayout = true;
  layout = DefaultPolicy::layout(h);
  return true;
}

bool ExtendedPolicy::takes(const HeaderDescription& h, const Limits& limits) {
  Status status;
  PixelLayout layout;
  return headers(h, status) && format(h, limits, layout, status);
}

}  // namespace bmpfun::detail
