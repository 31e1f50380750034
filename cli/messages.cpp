#include "messages.hpp"

#include <cstring>

namespace bmpfun::cli {

namespace {

// The system's own text for a file that cannot be opened, the codec's sentence otherwise,
// with the option that helps where there is one.
std::string loadReason(const BmpStatus& status) {
  std::string reason = status.cause == BmpCause::cannotOpen ? std::strerror(status.systemError) : to_string(status);
  if (status.cause == BmpCause::tooLarge) reason += " (see --max-pixels)";
  if (status.extendedReads) reason += " (read it with --extended)";
  return reason;
}

// The size a status names, as a count of rows whatever the row order (a top-down file's
// height is negative).
int64_t rowsOf(const BmpStatus& status) { return status.height < 0 ? -int64_t{status.height} : status.height; }

}  // namespace

std::string loadFailureLine(const std::string& path, const BmpStatus& status) {
  if (status.cause == BmpCause::outOfMemory) return outOfMemoryLine(path, status.width, rowsOf(status));
  return "Error loading image: " + path + ": " + loadReason(status);
}

std::string loadFailureLine(const std::string& path, const ImageStatus& status) {
  if (status == ImageStatus::outOfMemory) return outOfMemoryLine(path, status.codec().width, rowsOf(status.codec()));
  if (status == ImageStatus::loadFailed) return loadFailureLine(path, status.codec());
  return "Error loading image: " + path + ": " + to_string(status);
}

std::string writeFailureLine(const std::string& path, const BmpStatus& status) {
  if (status.cause == BmpCause::outOfMemory) return outOfMemoryLine(path, status.width, rowsOf(status));
  return "bmpfun: " + path + ": cannot write the file: " + to_string(status);
}

std::string warningLine(const std::string& path, const BmpStatus& status) {
  if (!status.hasWarnings()) return {};
  return "warning: " + path + ": " + warningText(status);
}

}  // namespace bmpfun::cli
