// The operations of `bmpfun apply`: parsing "name" / "name=a,b,..." tokens and applying them.
#pragma once
#include <bmpfun/image.hpp>

#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace bmpfun::cli {

struct Op {
  std::string token;          // as given, for messages
  const struct OpInfo* info = nullptr;
  std::vector<double> reals;  // real arguments, in order
  std::vector<int32_t> ints;  // integer arguments, in order
};

// One operation: its name and arguments, its line in --help ("name=ARGS  description"), and
// what it does. run works in place or replaces image with the new image it makes; on failure
// it leaves image as it was and says why.
struct OpInfo {
  const char* name;
  const char* args;  // argument kinds, one letter each: 'i' integer, 'r' real
  const char* usage;
  const char* help;
  Status (*run)(const Op& op, std::unique_ptr<Image>& image);
};
const std::vector<OpInfo>& allOps();

// Parse one token; on failure returns false and says why in error.
bool parseOp(std::string_view token, Op& op, std::string& error);

// Apply op to image (in place, or replacing it with the new image the operation returns).
// On failure returns false, leaves image as it was, and sets error to the line to print:
// "bmpfun: OP: reason", or with "Error allocating image." in front of a size that cannot be
// made; with file, the file's path stands before OP ("bmpfun: FILE: OP: reason").
bool applyOp(const Op& op, std::unique_ptr<Image>& image, std::string& error, const std::string& file = {});

// The line for op failing on source with status, as applyOp sets it.
std::string failureLine(const Op& op, const Status& status, const std::string& file = {});

}  // namespace bmpfun::cli
