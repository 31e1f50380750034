// The text `bmpfun info` prints, shared with the web page so both show a file alike.
#pragma once
#include <bmpfun/bmp.hpp>

#include <string>

namespace bmpfun::cli {

// The 5 file-header and 11 info-header fields, one "name: value" line each, in file order.
std::string headerText(const BitmapFileHeader& file, const BitmapInfoHeader& info);

// Whether the headers are an OS/2 header shorter than 40 bytes (12, or 16 to 39), which does
// not hold the 40-byte header's fields (a 12-byte one not even its width and height where
// they would be): `info` shows such a header's own fields instead.
bool showsOwnFields(const BmpHeaders& headers);
// A line naming the header, then its own fields, one "name: value" line each.
std::string headerViewText(const BmpHeaderView& view);

}  // namespace bmpfun::cli
