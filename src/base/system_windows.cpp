// Windows: wide names, error codes and their words.
#include "base/system_windows.hpp"

#include <bmpfun/paths.hpp>
#include <bmpfun/status.hpp>

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <cerrno>
#include <cstring>

namespace bmpfun::detail {

bool widePath(const std::string& path, std::wstring& out) {
  out.clear();
  std::u16string units;
  if (!utf16FromPath(path, units)) return false;
  out.assign(units.begin(), units.end());
  return true;
}

int systemErrorOf(unsigned long windowsError) {
  switch (windowsError) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE:
    case ERROR_BAD_NETPATH:
    case ERROR_BAD_NET_NAME:
    case ERROR_INVALID_NAME:  // as the C runtime maps it: no file has that name
      return ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_WRITE_PROTECT:
    case ERROR_CANNOT_MAKE:
      return EACCES;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
      return EEXIST;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      return ENOSPC;
    case ERROR_FILENAME_EXCED_RANGE:
      return ENAMETOOLONG;
    case ERROR_DIRECTORY:
      return ENOTDIR;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
      return ENOMEM;
    case ERROR_NOT_SAME_DEVICE:
      return EXDEV;
    case ERROR_TOO_MANY_OPEN_FILES:
      return EMFILE;
    case ERROR_INVALID_HANDLE:
      return EBADF;
    case ERROR_BROKEN_PIPE:
    case ERROR_NO_DATA:
      return EPIPE;
    case ERROR_SUCCESS:
      return EIO;  // a failure without a reason
    default:
      return windowsError <= 0x7FFFFFFF ? -static_cast<int>(windowsError) : EIO;
  }
}

int lastSystemError() { return systemErrorOf(GetLastError()); }

}  // namespace bmpfun::detail

namespace bmpfun {

std::string systemErrorText(int systemError) {
  if (systemError == 0) return "unknown system error";
  if (systemError > 0) return std::strerror(systemError);
  const auto code = static_cast<DWORD>(-static_cast<int64_t>(systemError));
  wchar_t text[512];
  const DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
                                      0, text, static_cast<DWORD>(std::size(text)), nullptr);
  std::u16string units(text, text + length);
  // One sentence inside the library's lines: without the message's line end and full stop.
  while (!units.empty() && (units.back() == u'\r' || units.back() == u'\n' || units.back() == u' ' ||
                            units.back() == u'.')) {
    units.pop_back();
  }
  if (units.empty()) return "Windows error " + std::to_string(code);
  return pathFromUtf16(units);
}

}  // namespace bmpfun
