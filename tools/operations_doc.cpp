// Writes docs/operations.md from the library's operation registry, or the registry as JSON.
//
//   bmpfun_operations_doc [OUTPUT]          the Markdown page (standard output without OUTPUT)
//   bmpfun_operations_doc --json [OUTPUT]   every entry with every field, for tests of the faces
//   bmpfun_operations_doc --check FILE      exit 1, saying where and how to regenerate, when
//                                           FILE is not what the registry makes now
//
// Built with the project (not installed); `cmake --build BUILD --target update_operations_doc`
// rewrites docs/operations.md.
#include <bmpfun/operations.hpp>

#include <charconv>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <string_view>

#ifndef BMPFUN_BUILD_DIR
#define BMPFUN_BUILD_DIR "BUILD"
#endif

namespace {

using bmpfun::Argument;
using bmpfun::NamedValue;
using bmpfun::Operation;

// The shortest text that reads back as the same double: 0.05, 8192, -360.
std::string number(double value) {
  if (!std::isfinite(value)) return std::isnan(value) ? "nan" : value > 0 ? "inf" : "-inf";
  char text[32];
  const auto end = std::to_chars(text, text + sizeof text, value).ptr;
  return std::string(text, end);
}

const char* typeName(Argument::Type type) { return type == Argument::Type::integer ? "integer" : "real"; }

// An argument's useful range and start in words: fixed numbers, or the picture's measures.
std::string rangeText(const Argument& a) {
  switch (a.extent) {
    case Argument::Extent::column: return "0 .. the picture's last column";
    case Argument::Extent::row: return "0 .. the picture's last row";
    case Argument::Extent::width: return "1 .. the picture's width";
    case Argument::Extent::height: return "1 .. the picture's height";
    case Argument::Extent::none: break;
  }
  return number(a.low) + " .. " + number(a.high);
}

std::string startText(const Argument& a) {
  switch (a.extent) {
    case Argument::Extent::width: return "the picture's width";
    case Argument::Extent::height: return "the picture's height";
    case Argument::Extent::column:
    case Argument::Extent::row: return "0";
    case Argument::Extent::none: break;
  }
  return number(a.start);
}

// "0 point, 1 bilinear, 2 gaussian"
std::string valueList(std::span<const NamedValue> values) {
  std::string text;
  for (const NamedValue& v : values) text += (text.empty() ? "" : ", ") + std::to_string(v.value) + " " + v.name;
  return text;
}

// A Markdown table cell: '|' would end it.
std::string cell(std::string_view text) {
  std::string out;
  for (const char c : text) {
    if (c == '|') out += '\\';
    out += c;
  }
  return out;
}

std::string markdown() {
  std::ostringstream out;
  out << "# Operations\n"
         "\n"
         "<!-- Made by tools/operations_doc.cpp from the operation registry "
         "(include/bmpfun/operations.hpp); do not edit.\n"
         "     Regenerate: cmake --build BUILD --target update_operations_doc -->\n"
         "\n"
         "Every operation on an image, as `bmpfun apply` and `bmpfun batch` take it, the web page offers it\n"
         "and `<bmpfun/operations.hpp>` lists it (`bmpfun::operations()`). A chain is the operations in\n"
         "order, each `NAME` or `NAME=A,B,...`: `bmpfun apply in.bmp out.bmp sampling=1 fun=1 blur=3`.\n"
         "An integer argument is base 10 with one optional sign (`+` or `-`) within signed 32 bits; a\n"
         "real is what `strtod` reads over the whole token. Any value of the type is accepted; the\n"
         "useful range is where the values that change the result lie (the page's sliders span it),\n"
         "and the start is the value the page begins with.\n"
         "\n"
         "| operation | usage | result | threads | random numbers |\n"
         "|---|---|---|---|---|\n";
  for (const Operation& op : bmpfun::operations()) {
    out << "| [" << op.name << "](#" << op.name << ") | `" << op.usage() << "` | "
        << (op.makesNewImage() ? "new image" : "in place") << " | " << (op.splitsOverThreads ? "split" : "one")
        << " | " << (op.drawsRandomNumbers ? "drawn" : "none") << " |\n";
  }
  out << "\n"
         "- result: *in place* changes the image; *new image* makes one that replaces it (and starts\n"
         "  with sampling method 0).\n"
         "- threads: *split* operations share their rows among threads (`--threads`,\n"
         "  `Limits::threads`) with the same result for every count; *one* runs on the caller's thread.\n"
         "- random numbers: *drawn* from the process's generator (`rand()`, never seeded), so the\n"
         "  result depends on the draws before it; `bmpfun` starts every chain at the first draw, and\n"
         "  `batch` runs a chain that draws one file at a time.\n"
         "\n"
         "## Sampling methods\n"
         "\n"
         "What `sampling=M` sets for the warps (`fun`), `scale` and `rotate` that follow it:\n"
         "\n"
         "| M | method |\n"
         "|---|---|\n";
  for (const NamedValue& v : bmpfun::samplingMethods()) out << "| " << v.value << " | " << v.name << " |\n";
  out << "\n"
         "## Warps\n"
         "\n"
         "The effects of `fun=E` (and of `bmpfun fun INPUT OUTPUT E`):\n"
         "\n"
         "| E | warp |\n"
         "|---|---|\n";
  for (const NamedValue& v : bmpfun::effects()) out << "| " << v.value << " | " << v.name << " |\n";
  for (const Operation& op : bmpfun::operations()) {
    out << "\n## " << op.name << "\n\n`" << op.usage() << "`: " << op.summary << ".\n";
    if (!op.arguments.empty()) {
      out << "\n| argument | keyword | type | useful range | step | start |\n|---|---|---|---|---|---|\n";
      for (const Argument& a : op.arguments) {
        out << "| `" << a.placeholder << "`: " << cell(a.label) << " | `" << a.name << "` | " << typeName(a.type)
            << " | " << rangeText(a) << " | " << number(a.step) << " | " << startText(a) << " |\n";
      }
    }
    if (!op.values.empty()) {
      out << "\nNamed values of `" << op.arguments[0].placeholder << "`: " << valueList(op.values) << ".\n";
    }
    bool follows = false;
    for (const Argument& a : op.arguments) follows = follows || a.extent != Argument::Extent::none;
    if (follows) {
      out << "\nThe position and size are measured in the picture the step receives (the source's for\n"
             "the first step, the one the step before made otherwise): the page's sliders span it and\n"
             "a new step starts as the whole of it.\n";
    }
    out << "\n"
        << (op.makesNewImage() ? "Makes a new image, which replaces the current one." : "Changes the image in place.")
        << ' '
        << (op.splitsOverThreads ? "Splits its rows over threads; the result is the same for every count."
                                 : "Runs on one thread.")
        << ' '
        << (op.drawsRandomNumbers ? "Draws from the process's random generator." : "Draws no random numbers.")
        << "\n";
  }
  return out.str();
}

bool readFile(const char* path, std::string& text) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return !in.bad();
}

// Line `number` (from 1) of text, without its end.
std::string lineAt(const std::string& text, size_t number) {
  size_t at = 0;
  for (size_t n = 1; n < number && at != std::string::npos; ++n) {
    at = text.find('\n', at);
    if (at != std::string::npos) ++at;
  }
  if (at == std::string::npos || at >= text.size()) return "(end of file)";
  return text.substr(at, text.find('\n', at) - at);
}

int check(const char* path) {
  std::string committed;
  if (!readFile(path, committed)) {
    std::fprintf(stderr, "%s: cannot read the file\n", path);
    return 1;
  }
  const std::string made = markdown();
  if (committed == made) return 0;
  size_t line = 1;
  for (size_t k = 0; k < committed.size() && k < made.size() && committed[k] == made[k]; ++k) {
    if (committed[k] == '\n') ++line;
  }
  std::fprintf(stderr,
               "%s is not what the operation registry makes now; first difference at line %zu:\n"
               "  file:     %s\n  registry: %s\n"
               "Regenerate it and commit the result:\n"
               "  cmake --build %s --target update_operations_doc\n",
               path, line, lineAt(committed, line).c_str(), lineAt(made, line).c_str(), BMPFUN_BUILD_DIR);
  return 1;
}

int write(const std::string& text, const char* path) {
  if (path == nullptr) return std::fputs(text.c_str(), stdout) >= 0 && std::fflush(stdout) == 0 ? 0 : 1;
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
  out.close();
  if (!out) {
    std::fprintf(stderr, "%s: cannot write the file\n", path);
    return 1;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string_view first = argc > 1 ? argv[1] : "";
  if (first == "--check" && argc == 3) return check(argv[2]);
  if (first == "--json" && argc <= 3) return write(bmpfun::operationsJson(), argc == 3 ? argv[2] : nullptr);
  if (argc <= 2 && (argc == 1 || first.substr(0, 1) != "-")) return write(markdown(), argc == 2 ? argv[1] : nullptr);
  std::fprintf(stderr, "usage: bmpfun_operations_doc [--json] [OUTPUT] | --check FILE\n");
  return 2;
}
