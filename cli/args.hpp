// Strict number syntax shared by every command of the command-line program.
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace bmpfun::cli {

// Base 10 over the whole token, one optional leading sign ('+' or '-'), within signed 32 bits.
std::optional<int32_t> parseInt(std::string_view token);
// What strtod accepts over the whole token (inf and nan included), without a leading blank:
// the same start as an integer, one optional sign.
std::optional<double> parseReal(std::string_view token);
// Split "a,b,c" at commas (an empty string gives one empty field).
std::vector<std::string> splitCommas(std::string_view text);

}  // namespace bmpfun::cli
