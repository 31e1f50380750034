// Safe file output on Windows: wide names, the temporary file made with CREATE_NEW beside the
// target, MoveFileExW over it, FlushFileBuffers for sync. The temporary file is a C runtime
// descriptor (over the system's handle) so that FileIo and its tests are the same as elsewhere.
#include "base/file_output.hpp"

#include "base/file_output_system.hpp"
#include "base/system_windows.hpp"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <bmpfun/paths.hpp>

#include <cerrno>
#include <cstdint>

namespace bmpfun::detail {

namespace {

// Everything before the file's own name: up to the last separator, or a drive's colon
// ("C:name" lives in drive C's working folder), or nothing (the working folder).
std::string folderPrefixOf(const std::string& path) {
  size_t end = path.find_last_of("/\\");
  if (end == std::string::npos && path.size() >= 2 && path[1] == ':') end = 1;
  return end == std::string::npos ? std::string() : path.substr(0, end + 1);
}

// A descriptor of the runtime over handle, which it then owns; -1 (handle closed) if none.
int descriptorOf(HANDLE handle, int flags) {
  const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), flags | _O_BINARY);
  if (fd < 0) CloseHandle(handle);
  return fd;
}

HANDLE handleOf(int fd) { return reinterpret_cast<HANDLE>(_get_osfhandle(fd)); }

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
// The attributes a replacement takes over from the file it replaces.
constexpr DWORD kKeptAttributes = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
                                  FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;

// The path of the file a symbolic link (or another reparse point) at wide leads to, through
// the handle open on it; the path itself for an ordinary file.
std::string finalPath(HANDLE file, const std::string& path, const std::wstring& wide) {
  const DWORD own = GetFileAttributesW(wide.c_str());
  if (own == INVALID_FILE_ATTRIBUTES || (own & FILE_ATTRIBUTE_REPARSE_POINT) == 0) return path;
  std::wstring resolved(MAX_PATH, L'\0');
  for (int attempt = 0; attempt < 2; ++attempt) {
    const DWORD n = GetFinalPathNameByHandleW(file, resolved.data(), static_cast<DWORD>(resolved.size()),
                                              FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (n == 0) return path;
    if (n < resolved.size()) {
      resolved.resize(n);
      return pathFromUtf16(std::u16string(resolved.begin(), resolved.end()));
    }
    resolved.assign(n, L'\0');  // n counts the terminator when the buffer was too small
  }
  return path;
}

}  // namespace

namespace output_system {

void removeFile(const char* path) noexcept {
  try {
    std::wstring wide;
    if (widePath(path, wide)) DeleteFileW(wide.c_str());
  } catch (...) {  // out of memory: the file stays
  }
}

uint64_t processId() noexcept { return GetCurrentProcessId(); }

}  // namespace output_system

ssize_t FileIo::write(int fd, const void* data, size_t size) {
  DWORD written = 0;
  const DWORD step = size > 0x40000000 ? 0x40000000 : static_cast<DWORD>(size);
  if (!WriteFile(handleOf(fd), data, step, &written, nullptr)) {
    errno = lastSystemError();
    return -1;
  }
  return static_cast<ssize_t>(written);
}

// On this synchronous handle a write at an offset moves the file pointer too: a save writes its
// headers (write) before its rows (writeAt), never after.
ssize_t FileIo::writeAt(int fd, const void* data, size_t size, uint64_t offset) {
  OVERLAPPED at{};
  at.Offset = static_cast<DWORD>(offset);
  at.OffsetHigh = static_cast<DWORD>(offset >> 32);
  DWORD written = 0;
  const DWORD step = size > 0x40000000 ? 0x40000000 : static_cast<DWORD>(size);
  if (!WriteFile(handleOf(fd), data, step, &written, &at)) {
    errno = lastSystemError();
    return -1;
  }
  return static_cast<ssize_t>(written);
}

int FileIo::sync(int fd) {
  if (FlushFileBuffers(handleOf(fd))) return 0;
  errno = lastSystemError();
  return -1;
}

int FileIo::close(int fd) { return _close(fd); }

bool OutputFile::openTarget(const std::string& path) {
  std::wstring wide;
  if (!widePath(path, wide)) return failWith(EILSEQ);
  target_ = path;
  // What the path names, links followed: nothing, a file, a folder or a device.
  HANDLE probe = CreateFileW(wide.c_str(), 0, kShareAll, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  const bool exists = probe != INVALID_HANDLE_VALUE;
  if (!exists && GetLastError() != ERROR_FILE_NOT_FOUND) return failWith(lastSystemError());
  DWORD attributes = 0;
  if (exists) {
    const DWORD type = GetFileType(probe);
    BY_HANDLE_FILE_INFORMATION information{};
    const bool known = type == FILE_TYPE_DISK && GetFileInformationByHandle(probe, &information);
    if (known) target_ = finalPath(probe, path, wide);
    CloseHandle(probe);
    if (type != FILE_TYPE_DISK) {
      // NUL, CON, a pipe: there is nothing to replace, so write straight to it.
      const HANDLE device = CreateFileW(wide.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                        OPEN_EXISTING, 0, nullptr);
      if (device == INVALID_HANDLE_VALUE) return failWith(lastSystemError());
      fd_ = descriptorOf(device, _O_WRONLY);
      regular_ = false;
      return fd_ >= 0 || failWith(errno);
    }
    if (!known) return failWith(lastSystemError());
    if ((information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return failWith(EISDIR);
    // Read-only forbids writing for every user, administrators too (whom Wine, running as
    // root, would let through): replacing the file would sidestep it.
    if ((information.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0) return failWith(EACCES);
    attributes = information.dwFileAttributes & kKeptAttributes;
    // The swap needs the right to write and delete the file, and no other handle open on it
    // (a rename does not replace a file that is open, whatever it shares): a read-only file,
    // or one another program holds open, is refused here with the system's reason (access
    // denied, a sharing violation) before anything is written.
    std::wstring resolved;
    if (!widePath(target_, resolved)) return failWith(EILSEQ);
    const HANDLE check = CreateFileW(resolved.c_str(), GENERIC_WRITE | DELETE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (check == INVALID_HANDLE_VALUE) return failWith(lastSystemError());
    CloseHandle(check);
  }

  return createTemporary(folderPrefixOf(target_), exists, [&](const std::string& name, int& error) {
    std::wstring wideName;
    if (!widePath(name, wideName)) {
      error = EILSEQ;
      return -1;
    }
    // Shared for deletion: removeTemporaryFiles may remove it while it is being written.
    const HANDLE file = CreateFileW(wideName.c_str(), GENERIC_WRITE, FILE_SHARE_DELETE, nullptr, CREATE_NEW,
                                    attributes != 0 ? attributes : FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
      error = lastSystemError();
      return -1;
    }
    const int fd = descriptorOf(file, _O_WRONLY);
    if (fd < 0) {
      error = errno != 0 ? errno : EMFILE;
      DeleteFileW(wideName.c_str());
    }
    return fd;
  });
}

bool OutputFile::replaceTarget() {
  std::wstring from, to;
  if (!widePath(temporary_, from) || !widePath(target_, to)) return failWith(EILSEQ);
  return MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) ||
         failWith(lastSystemError());
}

// Windows has no flush of a folder: the rename was written through (MOVEFILE_WRITE_THROUGH).
bool OutputFile::syncReplacement() { return true; }

}  // namespace bmpfun::detail
