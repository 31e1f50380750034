// File names. Every call of the library takes a path as a std::string. On POSIX systems its
// bytes go to the system as they are. On Windows, whose file names are UTF-16, the bytes are
// read as UTF-8 and converted at the system call; precisely as WTF-8, the superset of UTF-8
// that also spells an unpaired surrogate (as the three bytes ED A0 80 to ED BF BF), so that
// every name Windows can hold has a string. These conversions make such strings from UTF-16
// names and back, on every system.
#pragma once
#include <string>
#include <string_view>

namespace bmpfun {

// Never fails: well-formed UTF-16 becomes UTF-8, an unpaired surrogate its three-byte form.
std::string pathFromUtf16(std::u16string_view name);

// The UTF-16 name a path string stands for. False (out empty) for bytes that are not WTF-8:
// a malformed, cut or overlong sequence, a value past U+10FFFF, or a surrogate pair spelled
// as two three-byte forms (its four-byte form is the one spelling of a pair).
bool utf16FromPath(std::string_view path, std::u16string& out);

}  // namespace bmpfun
