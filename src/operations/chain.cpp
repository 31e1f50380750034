// The written form of a chain of operations, "sampling=1 fun=1 blur=3": its numbers, its
// steps and their application.
#include <bmpfun/operations.hpp>

#include <algorithm>
#include <cerrno>
#include <cstdlib>

namespace bmpfun {

namespace {

constexpr std::string_view kBlanks = " \t\n\v\f\r";

// "a,b,c" at its commas (an empty string is one empty field).
std::vector<std::string_view> splitCommas(std::string_view text) {
  std::vector<std::string_view> fields;
  size_t start = 0;
  while (true) {
    const size_t comma = text.find(',', start);
    if (comma == std::string_view::npos) {
      fields.push_back(text.substr(start));
      return fields;
    }
    fields.push_back(text.substr(start, comma - start));
    start = comma + 1;
  }
}

}  // namespace

std::optional<int32_t> parseInteger(std::string_view token) {
  size_t i = 0;
  bool negative = false;
  if (i < token.size() && (token[i] == '-' || token[i] == '+')) {
    negative = token[i] == '-';
    ++i;
  }
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
  if (token.empty() || token.find_first_of(kBlanks) != std::string_view::npos) return std::nullopt;
  const std::string text(token);  // strtod needs a terminated string
  char* end = nullptr;
  errno = 0;
  const double v = std::strtod(text.c_str(), &end);
  // An out-of-range value (ERANGE) still parses: strtod gives +-HUGE_VAL or a tiny value,
  // which is what the token says as nearly as a double can.
  if (end != text.c_str() + text.size()) return std::nullopt;
  return v;
}

bool parseStep(std::string_view token, Step& step, std::string& error) {
  step = Step{};
  step.token = std::string(token);
  const size_t eq = token.find('=');
  const std::string_view name = token.substr(0, eq);
  const Operation* op = findOperation(name);
  if (op == nullptr) {
    error = "unknown operation '" + std::string(name) + "'";
    return false;
  }
  step.operation = op;
  const auto& arguments = op->arguments;
  if (arguments.empty()) {
    if (eq == std::string_view::npos) return true;
    error = "operation '" + std::string(name) + "' takes no argument";
    return false;
  }
  if (eq == std::string_view::npos) {
    error = "operation '" + std::string(name) + "' needs arguments: " + op->usage();
    return false;
  }
  const auto fields = splitCommas(token.substr(eq + 1));
  if (fields.size() != arguments.size()) {
    error = "'" + step.token + "': expected " + op->usage();
    return false;
  }
  for (size_t k = 0; k < fields.size(); ++k) {
    if (arguments[k].type == Argument::Type::integer) {
      const auto v = parseInteger(fields[k]);
      if (!v) {
        error = "'" + step.token + "': '" + std::string(fields[k]) + "' is not a 32-bit integer";
        return false;
      }
      step.arguments.push_back(*v);
    } else {
      const auto v = parseReal(fields[k]);
      if (!v) {
        error = "'" + step.token + "': '" + std::string(fields[k]) + "' is not a number";
        return false;
      }
      step.arguments.push_back(*v);
    }
  }
  return true;
}

bool parseChain(std::string_view chain, std::vector<Step>& steps, std::string& error) {
  steps.clear();
  size_t at = chain.find_first_not_of(kBlanks);
  while (at != std::string_view::npos) {
    const size_t end = std::min(chain.find_first_of(kBlanks, at), chain.size());
    Step step;
    if (!parseStep(chain.substr(at, end - at), step, error)) return false;
    steps.push_back(std::move(step));
    at = chain.find_first_not_of(kBlanks, end);
  }
  if (steps.empty()) {
    error = "the chain '" + std::string(chain) + "' holds no operation";
    return false;
  }
  return true;
}

Status applyStep(const Step& step, std::unique_ptr<Image>& image) { return step.operation->run(image, step.arguments); }

}  // namespace bmpfun
