// FileSource on Windows: the file opened by its wide name (CreateFileW, so that a file another
// process holds without sharing is refused with the system's reason), read through a binary
// C stream over the handle; 64-bit positions; ReadFile at an offset for reads at offsets.
#include "base/byte_source.hpp"

#include "base/system_windows.hpp"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cerrno>
#include <cstdint>

namespace bmpfun::detail {

FileSource::FileSource(const std::string& path) {
  std::wstring wide;
  if (!widePath(path, wide)) {
    openError_ = EILSEQ;
    return;
  }
  const HANDLE handle = CreateFileW(wide.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    openError_ = lastSystemError();
    // A folder cannot be opened as a file (access denied): say what it is, as elsewhere.
    const DWORD attributes = GetFileAttributesW(wide.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) openError_ = EISDIR;
    return;
  }
  LARGE_INTEGER size{};
  const bool regular = GetFileType(handle) == FILE_TYPE_DISK;  // (pipes and devices report no useful size)
  const bool sized = regular && GetFileSizeEx(handle, &size) != 0;
  const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_RDONLY | _O_BINARY);
  if (fd < 0) {
    CloseHandle(handle);
    openError_ = EMFILE;
    return;
  }
  std::FILE* file = _fdopen(fd, "rb");
  if (file == nullptr) {
    openError_ = errno != 0 ? errno : ENOMEM;
    _close(fd);
    return;
  }
  file_ = file;
  descriptor_ = fd;
  seekable_ = regular;
  size_ = sized && size.QuadPart > 0 ? static_cast<uint64_t>(size.QuadPart) : 0;
}

// ReadFile at an offset. (On this synchronous handle it also moves the file pointer; the
// readers read nothing through the stream after the rows they read at offsets.)
size_t FileSource::readAt(void* buffer, size_t count, uint64_t offset, int& error) const {
  const HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(descriptor_));
  auto* out = static_cast<uint8_t*>(buffer);
  size_t done = 0;
  while (done < count) {
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(offset + done);
    at.OffsetHigh = static_cast<DWORD>((offset + done) >> 32);
    const DWORD step = count - done > 0x40000000 ? 0x40000000 : static_cast<DWORD>(count - done);
    DWORD got = 0;
    if (!ReadFile(handle, out + done, step, &got, &at)) {
      if (GetLastError() != ERROR_HANDLE_EOF) error = lastSystemError();
      break;
    }
    if (got == 0) break;
    done += got;
  }
  return done;
}

bool FileSource::tell(std::FILE* file, uint64_t& position) {
  const int64_t at = _ftelli64(file);
  if (at < 0) return false;
  position = static_cast<uint64_t>(at);
  return true;
}

bool FileSource::seek(std::FILE* file, uint64_t position) {
  return position <= INT64_MAX && _fseeki64(file, static_cast<int64_t>(position), SEEK_SET) == 0;
}

}  // namespace bmpfun::detail
