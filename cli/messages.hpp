// The lines the command-line program prints for a file that could not be read or written, or
// that was read although it is cut short: shared by the one-file commands and batch.
#pragma once
#include <bmpfun/bmp.hpp>
#include <bmpfun/image.hpp>

#include <string>

namespace bmpfun::cli {

// "Error loading image: PATH: reason", the reason in the words a shell user expects.
std::string loadFailureLine(const std::string& path, const BmpStatus& status);
std::string loadFailureLine(const std::string& path, const ImageStatus& status);
// "bmpfun: PATH: cannot write the file: reason".
std::string writeFailureLine(const std::string& path, const BmpStatus& status);
// "warning: PATH: ..." for a file whose data ends early; empty when it has no warning.
std::string warningLine(const std::string& path, const BmpStatus& status);

}  // namespace bmpfun::cli
