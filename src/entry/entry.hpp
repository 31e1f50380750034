// Internals of the C entry: the unexported BMPNoise and the wide-path conversion.
#pragma once
#include <bmpfun/bmpfun.h>

#include <cstdint>
#include <string>
#include <string_view>

extern "C" {
// Load input, add noise of factor 1.0 in place (column by column, four rand() draws per
// pixel, never seeded here), save to output as 24 bits. Same return codes and messages as
// BMPFun (BMPFUN_ERROR_EFFECT never occurs). Not exported from libbmpfun.so.
int32_t BMPNoise(const char16_t* input, const char16_t* output);
}

namespace bmpfun::entry {

// Strict UTF-16 to UTF-8: a high surrogate followed by a low one becomes one 4-byte
// sequence; any unpaired surrogate fails the whole conversion. On failure out is empty.
// May throw std::bad_alloc.
bool utf16ToUtf8(std::u16string_view in, std::string& out);

// A wide path argument turned into a file name. A null argument stays absent. Where the
// system takes names as bytes, the name is utf16ToUtf8's, and a present one that does not
// convert becomes the empty name, on which every open fails; on Windows every name converts
// (unpaired surrogates as WTF-8, see <bmpfun/paths.hpp>), so every name the system holds works.
struct NarrowPath {
  bool present = false;
  std::string name;
};
NarrowPath narrowPath(const char16_t* wide);
#ifdef _WIN32
NarrowPath narrowPath(const wchar_t* wide);  // wchar_t holds UTF-16 units on Windows
#endif

}  // namespace bmpfun::entry
