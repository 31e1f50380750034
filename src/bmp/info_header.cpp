#include "bmp/info_header.hpp"

namespace bmpfun::detail {

HeaderKind headerKindOf(uint32_t size) {
  switch (size) {
    case 12: return HeaderKind::os2v1;
    case 40: return HeaderKind::windows40;
    case 52: return HeaderKind::windows52;
    case 56: return HeaderKind::windows56;
    case 108: return HeaderKind::windowsV4;
    case 124: return HeaderKind::windowsV5;
    default: break;
  }
  if (size >= 16 && size <= 64) return HeaderKind::os2v2;
  return size > 40 ? HeaderKind::longer : HeaderKind::invalid;
}

bool masksInHeader(HeaderKind kind) {
  return kind == HeaderKind::windows52 || kind == HeaderKind::windows56 || kind == HeaderKind::windowsV4 ||
         kind == HeaderKind::windowsV5 || kind == HeaderKind::longer;
}

std::string headerKindName(uint32_t size) {
  const std::string bytes = "(" + std::to_string(size) + " bytes)";
  switch (headerKindOf(size)) {
    case HeaderKind::os2v1: return "OS/2 1.x " + bytes;
    case HeaderKind::os2v2: return "OS/2 2.x " + bytes;
    case HeaderKind::windows40: return "Windows " + bytes;
    case HeaderKind::windows52: return "Windows with RGB masks " + bytes;
    case HeaderKind::windows56: return "Windows with RGBA masks " + bytes;
    case HeaderKind::windowsV4: return "Windows V4 " + bytes;
    case HeaderKind::windowsV5: return "Windows V5 " + bytes;
    case HeaderKind::longer:
    case HeaderKind::invalid: break;
  }
  return "unknown " + bytes;
}

}  // namespace bmpfun::detail
