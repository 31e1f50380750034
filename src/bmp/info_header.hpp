// The info header variants of BMP files: which one a size field names. Shared by the header
// description and the readers' policies (headers.hpp, policies.hpp), the status sentences and
// header inspection.
#pragma once
#include <cstdint>
#include <string>

namespace bmpfun::detail {

// By biSize. 40 is the Windows header every reader takes; 52 and 56 add the colour masks
// (red, green, blue; then alpha) inside the header; 108 (V4) adds colour space and gamma and
// 124 (V5) rendering intent and profile. 12 is the OS/2 1.x header (16-bit width and height,
// 3-byte table entries); 16 to 64 the OS/2 2.x header, which starts like the 40-byte one and
// may stop after any field (a 40-byte OS/2 2.x header cannot be told from the Windows one).
// Other sizes from 41 up are unknown longer headers: their first 40 bytes are read as the
// Windows header. Sizes below 16 other than 12 are no header at all.
enum class HeaderKind : uint8_t { os2v1, os2v2, windows40, windows52, windows56, windowsV4, windowsV5, longer, invalid };

HeaderKind headerKindOf(uint32_t size);
// Whether the colour masks of a bit-field file lie inside the header (at offset 54; alpha at
// 66 from 56 bytes on) rather than after it: from 52 bytes on, unknown longer headers too
// (every known header of more than 56 bytes has them there).
bool masksInHeader(HeaderKind kind);
// "OS/2 1.x (12 bytes)", "Windows V5 (124 bytes)", "unknown (66 bytes)", ...
std::string headerKindName(uint32_t size);

// Whether size names an OS/2 header shorter than the 40-byte Windows header (12 bytes, or 16
// to 39): read as the 40-byte header, the fields past its end are other bytes.
constexpr bool isShortOs2Header(uint32_t size) { return size == 12 || (size >= 16 && size < 40); }

}  // namespace bmpfun::detail
