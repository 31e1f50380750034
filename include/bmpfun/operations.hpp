// The operations of an image, as data: one registry that the command line, the Python
// module, the web page and the documentation all read. Each entry names an Image operation,
// describes its arguments and says how it runs; a chain of them is written as `bmpfun apply`
// takes it: "sampling=1 fun=1 blur=3".
#pragma once
#include <bmpfun/image.hpp>
#include <bmpfun/status.hpp>

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace bmpfun {

// One argument of an operation. Any value of its type is accepted (the operation says what
// it makes of it); low .. high is the range in which it is useful, which a slider offers.
struct Argument {
  enum class Type : uint8_t { integer, real };
  // For crop: the range follows the picture the operation is applied to.
  enum class Extent : uint8_t { none, column, row, width, height };

  const char* name;         // a keyword: "factor", "mask_size", "band_width"
  const char* placeholder;  // in a chain's usage line: "F", "N", "SX"
  const char* label;        // in words, for a form: "band width", "x factor"
  Type type;
  double low, high, step;
  double start;  // a value to begin with
  Extent extent = Extent::none;
};

// An integer named in words: a sampling method, a warp, a channel.
struct NamedValue {
  int32_t value;
  const char* name;
};

struct Operation {
  const char* name;  // in a chain: "floyd-steinberg-dither"
  // One line: what it does, with its formula.
  const char* summary;
  std::span<const Argument> arguments;
  std::span<const NamedValue> values;  // the meanings of its one integer argument, if it has them
  bool splitsOverThreads;  // its result is the same on any number of threads; it may use them
  bool drawsRandomNumbers;  // from the process's generator: files done side by side would interleave
  // The call, with arguments one per Argument (integers as exact values); exactly one is set.
  // inPlace changes the image; make returns a new image made from it, which it leaves as it
  // was, or an empty pointer with the reason in status.
  Status (*inPlace)(Image& image, std::span<const double> arguments);
  std::unique_ptr<Image> (*make)(const Image& image, std::span<const double> arguments, Status* status);
  // Why these arguments fail on every picture, whatever its size (a warp that does not
  // exist, a crop with no pixel), or ok. Null when no argument can.
  Status (*refusesEveryPicture)(std::span<const double> arguments);

  bool makesNewImage() const { return make != nullptr; }
  // Runs it: in place, or putting the new image in place of image. On failure image is left as
  // it was.
  Status run(std::unique_ptr<Image>& image, std::span<const double> given) const;
  // "crop=X,Y,W,H", or the bare name of an operation without arguments.
  std::string usage() const;
};

// Every operation, in the order the command line lists them.
std::span<const Operation> operations();
// By its chain name; nullptr for none.
const Operation* findOperation(std::string_view name);
// The sampling methods (0 point, 1 bilinear, 2 gaussian) and the warps of fun.
std::span<const NamedValue> samplingMethods();
std::span<const NamedValue> effects();
// The registry as JSON, one operation a line: {"operations": [...], "samplingMethods": [...],
// "effects": [...]}, every field under the names above (usage() as "usage", makesNewImage()
// as "makesNewImage", the type as "integer" or "real", an extent other than none as "column",
// "row", "width" or "height"), for the faces that are not C++ and for comparing builds.
std::string operationsJson();

// The number syntax of a chain: base 10 over the whole token with one optional sign ('+' or
// '-'), within signed 32 bits; a real is what strtod accepts over the whole token (inf and nan
// included) without a leading blank.
std::optional<int32_t> parseInteger(std::string_view token);
std::optional<double> parseReal(std::string_view token);

// One operation of a chain with its arguments, as written.
struct Step {
  const Operation* operation = nullptr;
  std::vector<double> arguments;
  std::string token;  // "blur=3", for messages
};
// Parse "name" or "name=a,b,...". False with the reason in error (a sentence naming the
// token) for an unknown name, a wrong count of arguments or a number that does not parse.
[[nodiscard]] bool parseStep(std::string_view token, Step& step, std::string& error);
// Tokens separated by blanks; an empty chain is refused.
[[nodiscard]] bool parseChain(std::string_view chain, std::vector<Step>& steps, std::string& error);
// Runs the step on image (see Operation::run).
[[nodiscard]] Status applyStep(const Step& step, std::unique_ptr<Image>& image);

}  // namespace bmpfun
