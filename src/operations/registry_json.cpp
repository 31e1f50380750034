// The registry as JSON, for the faces that are not C++ (the web package reads it through the
// WebAssembly module) and for tests that compare one build's registry with another's.
#include <bmpfun/operations.hpp>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <string>
#include <string_view>

namespace bmpfun {

namespace {

void appendString(std::string& out, std::string_view text) {
  out += '"';
  for (const char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (static_cast<unsigned char>(c) < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(c));
      out += escaped;
    } else {
      out += c;
    }
  }
  out += '"';
}

// The shortest text that reads back as the same double (0.05, 8192, -360); JSON has no
// infinities, and no entry holds one, but null keeps the text valid if one ever does.
void appendNumber(std::string& out, double value) {
  if (!std::isfinite(value)) {
    out += "null";
    return;
  }
  // The fewest significant digits that read back as the same double (every standard
  // library has printf's %g; not all have std::to_chars for floating point).
  char text[32];
  for (int digits = 1; digits <= 17; ++digits) {
    std::snprintf(text, sizeof text, "%.*g", digits, value);
    if (std::strtod(text, nullptr) == value) break;
  }
  out += text;
}

void appendField(std::string& out, std::string_view key) {
  out += ',';
  appendString(out, key);
  out += ':';
}

const char* extentName(Argument::Extent extent) {
  switch (extent) {
    case Argument::Extent::column: return "column";
    case Argument::Extent::row: return "row";
    case Argument::Extent::width: return "width";
    case Argument::Extent::height: return "height";
    case Argument::Extent::none: break;
  }
  return nullptr;
}

void appendValues(std::string& out, std::span<const NamedValue> values) {
  out += '[';
  for (size_t k = 0; k < values.size(); ++k) {
    out += k == 0 ? "{\"value\":" : ",{\"value\":";
    out += std::to_string(values[k].value);
    appendField(out, "name");
    appendString(out, values[k].name);
    out += '}';
  }
  out += ']';
}

void appendOperation(std::string& out, const Operation& op) {
  out += "{\"name\":";
  appendString(out, op.name);
  appendField(out, "usage");
  appendString(out, op.usage());
  appendField(out, "summary");
  appendString(out, op.summary);
  for (const auto& [key, value] : {std::pair{"makesNewImage", op.makesNewImage()},
                                   std::pair{"splitsOverThreads", op.splitsOverThreads},
                                   std::pair{"drawsRandomNumbers", op.drawsRandomNumbers}}) {
    appendField(out, key);
    out += value ? "true" : "false";
  }
  appendField(out, "arguments");
  out += '[';
  for (size_t k = 0; k < op.arguments.size(); ++k) {
    const Argument& a = op.arguments[k];
    out += k == 0 ? "{\"name\":" : ",{\"name\":";
    appendString(out, a.name);
    appendField(out, "placeholder");
    appendString(out, a.placeholder);
    appendField(out, "label");
    appendString(out, a.label);
    appendField(out, "type");
    appendString(out, a.type == Argument::Type::integer ? "integer" : "real");
    for (const auto& [key, value] : {std::pair{"low", a.low}, std::pair{"high", a.high},
                                     std::pair{"step", a.step}, std::pair{"start", a.start}}) {
      appendField(out, key);
      appendNumber(out, value);
    }
    if (const char* extent = extentName(a.extent)) {
      appendField(out, "extent");
      appendString(out, extent);
    }
    out += '}';
  }
  out += ']';
  appendField(out, "values");
  appendValues(out, op.values);
  out += '}';
}

}  // namespace

std::string operationsJson() {
  std::string out = "{\"operations\":[\n";
  bool first = true;
  for (const Operation& op : operations()) {
    if (!first) out += ",\n";
    first = false;
    appendOperation(out, op);
  }
  out += "\n],\"samplingMethods\":";
  appendValues(out, samplingMethods());
  out += ",\"effects\":";
  appendValues(out, effects());
  out += "}\n";
  return out;
}

}  // namespace bmpfun
