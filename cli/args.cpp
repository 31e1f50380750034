#include "args.hpp"

#include <cerrno>
#include <cstdlib>

namespace bmpfun::cli {

std::optional<int32_t> parseInt(std::string_view token) {
  size_t i = 0;
  const bool negative = !token.empty() && token[0] == '-';
  if (!token.empty() && (token[0] == '-' || token[0] == '+')) ++i;
  if (i == token.size()) return std::nullopt;
  int64_t value = 0;
  for (; i < token.size(); ++i) {
    const char c = token[i];
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
    if (value > int64_t{INT32_MAX} + 1) return std::nullopt;
  }
  if (negative) value = -value;
  if (value < INT32_MIN || value > INT32_MAX) return std::nullopt;
  return static_cast<int32_t>(value);
}

std::optional<double> parseReal(std::string_view token) {
  // The same start as an integer: an optional sign and no blank (strtod would skip leading
  // blanks). strtod itself takes one sign only.
  if (token.empty() || token.find_first_of(" \t\n\v\f\r") != std::string_view::npos) return std::nullopt;
  const std::string text(token);  // strtod needs a terminated string
  char* end = nullptr;
  errno = 0;
  const double v = std::strtod(text.c_str(), &end);
  // An out-of-range value (ERANGE) still parses: strtod gives +-HUGE_VAL or a tiny value,
  // which is what the token says as nearly as a double can.
  if (end != text.c_str() + text.size()) return std::nullopt;
  return v;
}

std::vector<std::string> splitCommas(std::string_view text) {
  std::vector<std::string> fields;
  size_t start = 0;
  while (true) {
    const size_t comma = text.find(',', start);
    if (comma == std::string_view::npos) {
      fields.emplace_back(text.substr(start));
      return fields;
    }
    fields.emplace_back(text.substr(start, comma - start));
    start = comma + 1;
  }
}

}  // namespace bmpfun::cli
