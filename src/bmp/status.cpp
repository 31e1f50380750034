// The library's statuses as sentences: one wording per cause, wherever it arises.
#include <bmpfun/status.hpp>

#include "bmp/info_header.hpp"

#include <cstring>

namespace bmpfun {

namespace {

std::string number(int64_t v) { return std::to_string(v); }

std::string size(const Status& s) { return number(s.width) + " x " + number(s.height); }

std::string systemText(int error) { return systemErrorText(error); }

bool isOs2v2Header(uint32_t size) { return detail::headerKindOf(size) == detail::HeaderKind::os2v2; }

std::string headerName(uint32_t size) {
  if (size == 12) return "an OS/2 1.x header (12 bytes)";
  if (isOs2v2Header(size)) return "an OS/2 2.x header (" + number(size) + " bytes)";
  return "an info header of " + number(size) + " bytes";
}

// The name of a compression value, as precise as the depth and header allow: OS/2 2.x files
// use 3 and 4 for Huffman 1D and RLE24, Windows files for bit fields and embedded JPEG.
std::string compressionName(const Status& s) {
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

std::string warningText(const Status& s) {
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

std::string to_string(const Status& s) {
  switch (s.cause) {
    case Cause::ok: return s.hasWarnings() ? warningText(s) : "no error";
    case Cause::cannotOpen: return "cannot open the file: " + systemText(s.systemError);
    case Cause::readFailed: return "the file could not be read: " + systemText(s.systemError);
    case Cause::notBmp: return "not a BMP file (it does not start with \"BM\")";
    case Cause::headerCut:
      return "the headers are cut short (" + number(static_cast<int64_t>(s.fileBytes)) + " bytes; they need " +
             number(static_cast<int64_t>(s.headerBytes)) + ")";
    case Cause::unsupportedHeader: return headerName(s.headerSize) + " is not supported";
    case Cause::unsupportedDepth: {
      std::string text = number(s.bitsPerPixel) + " bits per pixel is not supported";
      if (s.headerSize == 12) text += " in an OS/2 1.x header";
      return text;
    }
    case Cause::unsupportedCompression: {
      std::string text = compressionName(s) + " is not supported";
      const bool depthMismatch = (s.compression == 1 && s.bitsPerPixel != 8) || (s.compression == 2 && s.bitsPerPixel != 4);
      const bool huffman = s.compression == 3 && isOs2v2Header(s.headerSize) && s.bitsPerPixel == 1;
      if ((s.compression == 3 && !huffman) || s.compression == 6 || depthMismatch) {
        text += " at " + number(s.bitsPerPixel) + " bits per pixel";
      }
      return text;
    }
    case Cause::topDown:
      return "a top-down file (height " + number(s.height) + ") is not supported";
    case Cause::badSize:
      // A top-down file stores its row count negated; -2^31 has no positive counterpart in 32
      // bits.
      if (s.height == INT32_MIN && s.width >= 1) {
        return "a height of -2147483648 is out of range (a top-down file's row count must be at most 2147483647)";
      }
      return "a size of " + size(s) + " is not supported (a picture needs at least one column and one row" +
             (s.height == INT32_MIN ? ", and a height from -2147483647 to 2147483647)" : ")");
    case Cause::tooLarge:
      // A top-down file's height is negative; the picture has as many rows either way.
      if (s.width > INT32_MAX || s.height > INT32_MAX || s.height < -int64_t{INT32_MAX}) {
        return size(s) + " pixels is past the largest picture (2147483647 pixels a side)";
      }
      return number(s.width) + " x " + number(s.height < 0 ? -s.height : s.height) + " pixels passes the limit of " +
             number(s.maxPixels) + " pixels";
    case Cause::outOfMemory:
      if (s.width <= 0 || s.height <= 0) return "not enough memory";
      return "not enough memory for " + size(s) + " pixels";
    case Cause::masksNotContiguous: return "bit masks that are not contiguous are not supported";
    case Cause::masksOverlap: return "bit masks that overlap are not supported";
    case Cause::writeFailed: return systemText(s.systemError);
    case Cause::noTemporaryFile:
      return "no temporary file can be made in its folder (" + systemText(s.systemError) +
             "), and writing over the file in place could leave it half-written";
    case Cause::tooLargeForFile:
      return number(s.width) + " x " + number(s.height) + " pixels at " + number(s.bitsPerPixel) +
             " bits per pixel need a file over 4 GiB, more than its 32-bit size fields hold";
    case Cause::unknownMode:
      return std::string("the mode '") + (s.mode >= 0x20 && s.mode < 0x7F ? std::string(1, s.mode) : number(s.mode)) +
             "' is not P, W, H or F";
    case Cause::noSuchEffect: return "there is no effect " + number(s.effect) + " (the warps are 0, 1 and 2)";
    case Cause::outsideSource:
      // Without a picture's size: a corner left of or above the picture, outside every one.
      if (s.width <= 0 || s.height <= 0) return "the rectangle's corner lies left of or above the picture";
      return "the rectangle does not lie inside the " + size(s) + " picture";
    case Cause::noContent: return "the picture has no pixel other than white (255, 255, 255, 255)";
  }
  return "unknown status";
}

}  // namespace bmpfun
