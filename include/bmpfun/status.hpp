// Why a call did not succeed: one status type for the whole library, the codec's causes and
// the image operations' side by side, with the details that make a cause precise, the
// warnings of a read that succeeded, and the option that would help.
#pragma once
#include <cstdint>
#include <string>

namespace bmpfun {

// One value per cause. The details travel in Status.
enum class Cause : uint8_t {
  ok,
  // Reading a file.
  cannotOpen,              // the file could not be opened (systemError says why)
  readFailed,              // the system reported an error while reading (systemError)
  notBmp,                  // the file does not start with "BM"
  headerCut,               // the file ends inside its headers (fileBytes tells how long it is)
  unsupportedHeader,       // an info header of headerSize bytes this reader does not take
  unsupportedDepth,        // bitsPerPixel is not one this reader takes
  unsupportedCompression,  // compression is not one this reader takes at bitsPerPixel
  topDown,                 // a negative height: the rows are stored top row first
  masksNotContiguous,      // a colour mask with a gap between its bits
  masksOverlap,            // two colour masks that share bits
  // Any picture, read or made.
  badSize,      // width x height has a side below 1 (or, in a file, a height of 0 or -2^31)
  tooLarge,     // width x height passes maxPixels (or 32 bits)
  outOfMemory,  // the pixels (or a working buffer) could not be allocated
  // Writing a file.
  writeFailed,      // the output could not be written (systemError says why)
  tooLargeForFile,  // the file would pass the 4 GiB its 32-bit size fields can hold
  noTemporaryFile,  // an existing file was not replaced: no temporary file can be made in
                    // its folder (systemError says why), see Bitmap::saveFile
  // Operations.
  unknownMode,    // rescale with a mode other than P, W, H, F (mode holds it)
  noSuchEffect,   // fun with an effect number that has no warp (effect holds it)
  outsideSource,  // crop with a rectangle not wholly inside the source (width x height)
  noContent,      // autoCrop (or rotate) of a picture without a pixel other than white
};

// The option that would help, for each face to say in its own words (a command-line
// option, a keyword argument, a switch on a page).
enum class Hint : uint8_t {
  none,
  extendedReader,  // the extended reader reads this file
  largerLimit,     // a larger pixel limit would let the picture be made
  otherFolder,     // a folder where a temporary file can be made (the output's is not)
};

// The outcome of a read, a write or an operation.
struct Status {
  Cause cause = Cause::ok;
  // Why the system refused, for cannotOpen, readFailed, writeFailed, noTemporaryFile: an errno
  // value. On Windows too for the errors that have one (a missing file, access denied, a full
  // disk...); any other error of a Windows call is its code negated (-32, a file another
  // process holds open). systemErrorText words both.
  int systemError = 0;
  uint32_t headerSize = 0;   // the info header's size field as read (0: not reached)
  uint32_t compression = 0;  // as read
  uint32_t bitsPerPixel = 0;  // as read (or written)
  // The picture's size as read, written or asked for; for outsideSource the source's.
  int64_t width = 0;
  int64_t height = 0;
  int64_t maxPixels = 0;      // the limit a tooLarge size passed
  uint64_t fileBytes = 0;     // headerCut: how many bytes the file holds...
  uint64_t headerBytes = 0;   // ...and how many its headers need
  int32_t effect = 0;         // noSuchEffect: the number asked for
  char mode = 0;              // unknownMode: the letter given
  bool extendedReads = false;  // a refusal of a file the extended reader reads
  // The extended reader took the pixels' alpha from an alpha mask of the file. Such a bitmap
  // (32 bits) keeps its alpha in a file only when saved with SaveOptions::alphaMasks: the
  // fourth byte of a 40-byte 32-bit file is padding to the extended reader.
  bool alphaMask = false;

  // Warnings: fewer rows or table entries arrived than the headers announce. Reading stops
  // at the file's end; what did not arrive is filled (see the readers for with what).
  int32_t rowsExpected = 0;
  int32_t rowsRead = 0;
  int32_t tableExpected = 0;
  int32_t tableRead = 0;
  // The extended reader's rules refuse the headers but their first 40 bytes pass the default
  // reader's checks, so the file was read with the default reader's layout (so that opting in
  // never loses a file).
  bool defaultLayout = false;

  bool ok() const { return cause == Cause::ok; }
  bool pixelDataCut() const { return rowsRead < rowsExpected; }
  bool tableCut() const { return tableRead < tableExpected; }
  bool hasWarnings() const { return pixelDataCut() || tableCut() || defaultLayout; }
  // status == Cause::tooLarge reads as it says.
  friend bool operator==(const Status& status, Cause wanted) { return status.cause == wanted; }
  Hint hint() const {
    if (extendedReads) return Hint::extendedReader;
    if (cause == Cause::tooLarge && maxPixels > 0) return Hint::largerLimit;
    if (cause == Cause::noTemporaryFile) return Hint::otherFolder;
    return Hint::none;
  }
};

// The cause as a short sentence with its details, in the same words wherever it arises, e.g.
// "RLE8 compression is not supported" or "cannot open the file: No such file or directory".
// Hints are not part of it. For ok, the warnings, or "no error".
std::string to_string(const Status& status);
// The system's words for a Status::systemError: strerror's for an errno value, the system's
// own message (FormatMessageW) for a negated Windows error code; "unknown system error" for 0.
std::string systemErrorText(int systemError);
// The warnings of a successful read, e.g. "the pixel data ends early: 13 of 64 rows arrived";
// empty when there are none.
std::string warningText(const Status& status);

// Kept for code written against the codec's and the image layer's statuses.
using BmpCause = Cause;
using BmpStatus = Status;
using ImageStatus = Status;

}  // namespace bmpfun
