// The codec's statuses as sentences.
#include <bmpfun/bmp.hpp>

#include "bmp/info_header.hpp"

#include <cstring>

namespace bmpfun {

namespace {

std::string number(int64_t v) { return std::to_string(v); }

std::string systemText(int error) {
  return error != 0 ? std::string(std::strerror(error)) : std::string("unknown system error");
}

bool isOs2v2Header(uint32_t size) { return detail::headerKindOf(size) == detail::HeaderKind::os2v2; }

std::string headerName(uint32_t size) {
  if (size == 12) return "an OS/2 1.x header (12 bytes)";
  if (isOs2v2Header(size)) return "an OS/2 2.x header (" + number(size) + " bytes)";
  return "an info header of " + number(size) + " bytes";
}

// The name of a compression value, as precise as the depth and header allow: OS/2 2.x files
// use 3 and 4 for Huffman 1D and RLE24, Windows files for bit fields and embedded JPEG.
std::string compressionName(const BmpStatus& s) {
  const bool os2 = isOs2v2Header(s.headerSize);
  switch (s.compression) {
    case 0: return "no compression";
    case 1: return "RLE8 compression";
    case 2: return "RLE4 compression";
    case 3:
      if (os2 && s.bitsPerPixel == 1) return "OS/2 Huffman 1D compression";
      return "bit fields (compression 3)";
    case 4:
      if (os2 && s.bitsPerPixel == 24) return "OS/2 RLE24 compression";
      return "an embedded JPEG stream (compression 4)";
    case 5: return "an embedded PNG stream (compression 5)";
    case 6: return "alpha bit fields (compression 6)";
    case 11: case 12: case 13: return "CMYK colour (compression " + number(s.compression) + ")";
    default: return "compression " + number(s.compression);
  }
}

}  // namespace

std::string warningText(const BmpStatus& s) {
  std::string text;
  if (s.defaultLayout) {
    text = "the headers break the extended reader's rules; read with the default reader's layout";
  }
  if (s.tableCut()) {
    if (!text.empty()) text += "; ";
    text += "the colour table ends early: " + number(s.tableRead) + " of " + number(s.tableExpected) +
           " entries arrived";
  }
  if (s.pixelDataCut()) {
    if (!text.empty()) text += "; ";
    text += "the pixel data ends early: " + number(s.rowsRead) + " of " + number(s.rowsExpected) +
            " rows arrived";
  }
  return text;
}

std::string to_string(const BmpStatus& s) {
  switch (s.cause) {
    case BmpCause::ok: return s.hasWarnings() ? warningText(s) : "no error";
    case BmpCause::cannotOpen: return "cannot open the file: " + systemText(s.systemError);
    case BmpCause::readFailed: return "the file could not be read: " + systemText(s.systemError);
    case BmpCause::notBmp: return "not a BMP file (it does not start with \"BM\")";
    case BmpCause::headerCut:
      return "the headers are cut short (" + number(static_cast<int64_t>(s.fileBytes)) + " bytes; they need " +
             number(static_cast<int64_t>(s.headerBytes)) + ")";
    case BmpCause::unsupportedHeader: return headerName(s.headerSize) + " is not supported";
    case BmpCause::unsupportedDepth: {
      std::string text = number(s.bitsPerPixel) + " bits per pixel is not supported";
      if (s.headerSize == 12) text += " in an OS/2 1.x header";
      return text;
    }
    case BmpCause::unsupportedCompression: {
      std::string text = compressionName(s) + " is not supported";
      const bool depthMismatch = (s.compression == 1 && s.bitsPerPixel != 8) || (s.compression == 2 && s.bitsPerPixel != 4);
      const bool huffman = s.compression == 3 && isOs2v2Header(s.headerSize) && s.bitsPerPixel == 1;
      if ((s.compression == 3 && !huffman) || s.compression == 6 || depthMismatch) {
        text += " at " + number(s.bitsPerPixel) + " bits per pixel";
      }
      return text;
    }
    case BmpCause::topDown:
      return "a top-down file (height " + number(s.height) + ") is not supported";
    case BmpCause::badSize:
      // A top-down file stores its row count negated; -2^31 has no positive counterpart in 32
      // bits.
      if (s.height == INT32_MIN && s.width >= 1) {
        return "a height of -2147483648 is out of range (a top-down file's row count must be at most 2147483647)";
      }
      return "a size of " + number(s.width) + " x " + number(s.height) + " is not supported (the width must be at least 1" +
             (s.height == INT32_MIN ? ", and the height from -2147483647 to 2147483647, not 0)" : " and the height not 0)");
    case BmpCause::tooLarge:
      // A top-down file's height is negative; the picture has as many rows either way.
      return number(s.width) + " x " + number(s.height < 0 ? -int64_t{s.height} : s.height) + " pixels passes the limit of " +
             number(s.maxPixels) + " pixels";
    case BmpCause::outOfMemory:
      return "not enough memory for " + number(s.width) + " x " + number(s.height) + " pixels";
    case BmpCause::masksNotContiguous: return "bit masks that are not contiguous are not supported";
    case BmpCause::masksOverlap: return "bit masks that overlap are not supported";
    case BmpCause::writeFailed: return systemText(s.systemError);
    case BmpCause::noTemporaryFile:
      return "no temporary file can be made in its folder (" + systemText(s.systemError) +
             "), and writing over the file in place could leave it half-written";
    case BmpCause::tooLargeForFile:
      return number(s.width) + " x " + number(s.height) + " pixels at " + number(s.bitsPerPixel) +
             " bits per pixel need a file over 4 GiB, more than its 32-bit size fields hold";
  }
  return "unknown status";
}

}  // namespace bmpfun
