// The program's system side on Windows: binary standard streams, error lines to a console as
// UTF-16 (WriteConsoleW), files identified by volume and index, wide paths.
#include "platform.hpp"

#include <bmpfun/paths.hpp>

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdio>

namespace bmpfun::cli {

namespace {

bool isConsole(HANDLE handle) {
  DWORD mode = 0;
  return handle != INVALID_HANDLE_VALUE && handle != nullptr && GetConsoleMode(handle, &mode) != 0;
}

std::wstring wide(const std::u16string& units) { return std::wstring(units.begin(), units.end()); }

// A handle that reads nothing but the file's identity, links followed (a folder too).
HANDLE probe(const std::string& path) {
  std::u16string units;
  if (!utf16FromPath(path, units)) return INVALID_HANDLE_VALUE;
  return CreateFileW(wide(units).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                     OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

}  // namespace

void prepareStandardStreams() {
  _setmode(_fileno(stdout), _O_BINARY);
  _setmode(_fileno(stderr), _O_BINARY);
}

void printErrorLine(const std::string& text) {
  const HANDLE error = GetStdHandle(STD_ERROR_HANDLE);
  std::u16string units;
  if (isConsole(error) && utf16FromPath(text + "\n", units)) {
    std::fflush(stderr);
    DWORD written = 0;
    WriteConsoleW(error, units.data(), static_cast<DWORD>(units.size()), &written, nullptr);
    return;
  }
  std::fprintf(stderr, "%s\n", text.c_str());
}

bool errorIsTerminal() {
  const HANDLE error = GetStdHandle(STD_ERROR_HANDLE);
  DWORD mode = 0;
  if (!isConsole(error) || GetConsoleMode(error, &mode) == 0) return false;
  // The progress line is redrawn with "\r" and an erase sequence: consoles take it once asked.
  return (mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0 ||
         SetConsoleMode(error, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
}

std::optional<FileIdentity> identityOf(const std::string& path) {
  const HANDLE file = probe(path);
  if (file == INVALID_HANDLE_VALUE) return std::nullopt;
  BY_HANDLE_FILE_INFORMATION information{};
  const bool known = GetFileInformationByHandle(file, &information) != 0;
  CloseHandle(file);
  if (!known) return std::nullopt;
  return FileIdentity{information.dwVolumeSerialNumber,
                      (uint64_t{information.nFileIndexHigh} << 32) | information.nFileIndexLow};
}

std::optional<bool> isRegularFile(const std::string& path) {
  const HANDLE file = probe(path);
  if (file == INVALID_HANDLE_VALUE) return std::nullopt;
  BY_HANDLE_FILE_INFORMATION information{};
  const bool regular = GetFileType(file) == FILE_TYPE_DISK && GetFileInformationByHandle(file, &information) != 0 &&
                       (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
  CloseHandle(file);
  return regular;
}

std::filesystem::path toPath(const std::string& path) {
  std::u16string units;
  if (utf16FromPath(path, units)) return wide(units);
  // Bytes that spell no name (never from the command line, which arrives as UTF-16): one
  // character each, so that different strings stay different paths.
  std::wstring bytes;
  for (const char byte : path) bytes.push_back(static_cast<wchar_t>(static_cast<unsigned char>(byte)));
  return bytes;
}

std::string fromPath(const std::filesystem::path& path) {
  const std::wstring& name = path.native();
  return pathFromUtf16(std::u16string(name.begin(), name.end()));
}

}  // namespace bmpfun::cli
