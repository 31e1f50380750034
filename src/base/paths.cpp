// UTF-16 names and the library's path strings (WTF-8), see <bmpfun/paths.hpp>.
#include <bmpfun/paths.hpp>

#include <cstdint>

namespace bmpfun {

namespace {

constexpr bool isHighSurrogate(uint32_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
constexpr bool isLowSurrogate(uint32_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

void appendUtf8(std::string& out, uint32_t code) {
  if (code < 0x80) {
    out.push_back(static_cast<char>(code));
  } else if (code < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (code >> 6)));
    out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
  } else if (code < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (code >> 12)));
    out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (code >> 18)));
    out.push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
  }
}

}  // namespace

std::string pathFromUtf16(std::u16string_view name) {
  std::string out;
  out.reserve(name.size());
  for (size_t i = 0; i < name.size(); ++i) {
    uint32_t code = name[i];
    if (isHighSurrogate(code) && i + 1 < name.size() && isLowSurrogate(name[i + 1])) {
      code = 0x10000 + ((code - 0xD800) << 10) + (uint32_t{name[++i]} - 0xDC00);
    }
    appendUtf8(out, code);
  }
  return out;
}

bool utf16FromPath(std::string_view path, std::u16string& out) {
  out.clear();
  bool afterHigh = false;  // the last unit was an unpaired high surrogate from a 3-byte form
  for (size_t i = 0; i < path.size();) {
    const auto lead = static_cast<uint8_t>(path[i]);
    size_t extra = 0;
    uint32_t code = 0;
    if (lead < 0x80) {
      code = lead;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
      extra = 1;
      code = lead & 0x1Fu;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      extra = 2;
      code = lead & 0x0Fu;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      extra = 3;
      code = lead & 0x07u;
    } else {
      out.clear();
      return false;
    }
    if (path.size() - i <= extra) {
      out.clear();
      return false;
    }
    for (size_t k = 1; k <= extra; ++k) {
      const auto next = static_cast<uint8_t>(path[i + k]);
      if ((next & 0xC0) != 0x80) {
        out.clear();
        return false;
      }
      code = (code << 6) | (next & 0x3Fu);
    }
    const bool overlong = (extra == 2 && code < 0x800) || (extra == 3 && code < 0x10000);
    if (overlong || code > 0x10FFFF || (afterHigh && isLowSurrogate(code))) {
      out.clear();
      return false;
    }
    afterHigh = isHighSurrogate(code);
    if (code >= 0x10000) {
      code -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (code >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (code & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(code));
    }
    i += extra + 1;
  }
  return true;
}

}  // namespace bmpfun
