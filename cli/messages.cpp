#include "messages.hpp"

#include <cstring>

namespace bmpfun::cli {

namespace {

// The system's own text for a file that cannot be opened, the codec's sentence otherwise,
// with the option that helps where there is one.
std::string loadReason(const Status& status) {
  const std::string reason = status.cause == Cause::cannotOpen ? systemErrorText(status.systemError) : to_string(status);
  return reason + hintText(status);
}

// The size a status names, as a count of rows whatever the row order (a top-down file's
// height is negative).
int64_t rowsOf(const Status& status) { return status.height < 0 ? -status.height : status.height; }

}  // namespace

std::string loadFailureLine(const std::string& path, const Status& status) {
  if (status.cause == Cause::outOfMemory) return outOfMemoryLine(path, status.width, rowsOf(status));
  return "Error loading image: " + path + ": " + loadReason(status);
}

std::string writeFailureLine(const std::string& path, const Status& status) {
  if (status.cause == Cause::outOfMemory) return outOfMemoryLine(path, status.width, rowsOf(status));
  return "bmpfun: " + path + ": cannot write the file: " + to_string(status) + hintText(status);
}

std::string stepFailureLine(const Step& step, const Status& status, const std::string& file) {
  const std::string subject = (file.empty() ? "" : file + ": ") + step.token;
  if (status.cause == Cause::outOfMemory) return outOfMemoryLine(subject, status.width, status.height);
  // A size that cannot be made keeps the library's historic message in front.
  const bool allocation = status.cause == Cause::badSize || status.cause == Cause::tooLarge;
  return std::string(allocation ? kAllocationHead : "bmpfun") + ": " + subject + ": " + to_string(status) +
         hintText(status);
}

std::string hintText(const Status& status) {
  switch (status.hint()) {
    case Hint::none: break;
    case Hint::extendedReader: return " (read it with --extended)";
    case Hint::largerLimit: return " (see --max-pixels)";
    case Hint::otherFolder: return " (write it to another folder)";
  }
  return {};
}

std::string warningLine(const std::string& path, const Status& status) {
  if (!status.hasWarnings()) return {};
  return "warning: " + path + ": " + warningText(status);
}

}  // namespace bmpfun::cli
