// Reasons for the command-line program's error lines. The library answers a load or a save
// with true or false; after a failure these look at the file (or the output's folder) again
// to say in words what stood in the way.
#pragma once

#include <bmpfun/limits.hpp>

#include <string>

namespace bmpfun::cli {

// Why INPUT could not be loaded as a BMP file within limits.
std::string whyNotLoaded(const std::string& path, const Limits& limits);

// Why OUTPUT could not be written.
std::string whyNotWritten(const std::string& path);

}  // namespace bmpfun::cli
