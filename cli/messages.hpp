// The lines the command-line program prints for a file that could not be read or written, or
// that was read although it is cut short: shared by the one-file commands and batch.
#pragma once
#include <bmpfun/bmp.hpp>
#include <bmpfun/image.hpp>
#include <bmpfun/operations.hpp>

#include <cstdint>
#include <string>

namespace bmpfun::cli {

// The head of every line about memory or a size the program cannot allocate, as the historic
// entry prints it.
inline constexpr const char* kAllocationHead = "Error allocating image.";

// Memory that ran out, worded the same wherever it happens: "Error allocating image.:
// SUBJECT: not enough memory", with " for W x H pixels" when the size is known (both above 0).
inline std::string outOfMemoryLine(const std::string& subject, int64_t width = 0, int64_t height = 0) {
  std::string line = std::string(kAllocationHead) + ": " + subject + ": not enough memory";
  if (width > 0 && height > 0) line += " for " + std::to_string(width) + " x " + std::to_string(height) + " pixels";
  return line;
}

// "Error loading image: PATH: reason", the reason in the words a shell user expects; memory
// that ran out is outOfMemoryLine's.
std::string loadFailureLine(const std::string& path, const Status& status);
// "bmpfun: PATH: cannot write the file: reason"; memory that ran out is outOfMemoryLine's.
std::string writeFailureLine(const std::string& path, const Status& status);
// A step of a chain that failed: "bmpfun: [FILE: ]OP: reason", or with "Error allocating
// image." in front of a size that cannot be made (and memory that ran out, outOfMemoryLine's).
std::string stepFailureLine(const Step& step, const Status& status, const std::string& file = {});
// The option that would help, in this program's words (" (read it with --extended)"), or
// nothing.
std::string hintText(const Status& status);
// "warning: PATH: ..." for a file whose data ends early; empty when it has no warning.
std::string warningLine(const std::string& path, const Status& status);

}  // namespace bmpfun::cli
