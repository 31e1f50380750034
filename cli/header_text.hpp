// The text `bmpfun info` prints, shared with the web page so both show a file alike.
#pragma once
#include <bmpfun/bmp.hpp>

#include <string>

namespace bmpfun::cli {

// The 5 file-header and 11 info-header fields, one "name: value" line each, in file order.
std::string headerText(const BitmapFileHeader& file, const BitmapInfoHeader& info);

}  // namespace bmpfun::cli
