// What the Windows side of src/base shares: path strings as the system's wide names, and the
// system's error codes as Status::systemError values.
#pragma once
#include <string>

namespace bmpfun::detail {

// The wide name a path string (WTF-8, see <bmpfun/paths.hpp>) stands for; false, with out
// empty, for bytes that are not WTF-8.
bool widePath(const std::string& path, std::wstring& out);

// The errno value of the same meaning, for the errors a file can meet (a missing file or
// folder, access denied, a full disk, ...); the code negated for any other, which
// systemErrorText words with the system's own message (a file another process holds open,
// a locked range, ...). An unsigned long is a DWORD.
int systemErrorOf(unsigned long windowsError);

// systemErrorOf(GetLastError()).
int lastSystemError();

}  // namespace bmpfun::detail
