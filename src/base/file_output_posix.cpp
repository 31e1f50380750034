// Safe file output on POSIX systems: symbolic links followed by their text, the temporary file
// made with O_EXCL and given the replaced file's owner and permissions, pwrite(2) for rows
// written on several threads, rename(2), fsync(2).
#include "base/file_output.hpp"

#include "base/file_output_system.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace bmpfun::detail {

namespace {

constexpr int kMaxLinks = 40;  // like the kernel's own loop limit

std::string parentOf(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

// Follows a chain of symbolic links by their text to the path they end at (which need not
// exist: a dangling link names where a new file goes).
std::string followLinks(const std::string& path) {
  std::string current = path;
  for (int depth = 0; depth < kMaxLinks; ++depth) {
    struct stat info {};
    if (lstat(current.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) return current;
    std::string link(static_cast<size_t>(info.st_size > 0 ? info.st_size : 255) + 1, '\0');
    const ssize_t n = readlink(current.c_str(), link.data(), link.size());
    if (n <= 0 || static_cast<size_t>(n) >= link.size()) return current;  // changed under us
    link.resize(static_cast<size_t>(n));
    current = link.front() == '/' ? link : parentOf(current) + "/" + link;
  }
  return current;  // a loop: opening it fails as it should
}

int openRetrying(const char* path, int flags, mode_t mode = 0) {
  int fd;
  do {
    fd = ::open(path, flags | O_CLOEXEC, mode);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

// A device, a pipe or a socket (or a descriptor link that names no folder): written straight.
int openDirectly(const std::string& path, bool& regular) {
  const int fd = openRetrying(path.c_str(), O_WRONLY | O_TRUNC);
  struct stat info {};
  regular = fd >= 0 && fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
  return fd;
}

}  // namespace

namespace output_system {

void removeFile(const char* path) noexcept { ::unlink(path); }

uint64_t processId() noexcept { return static_cast<uint64_t>(getpid()); }

}  // namespace output_system

ssize_t FileIo::write(int fd, const void* data, size_t size) { return ::write(fd, data, size); }
ssize_t FileIo::writeAt(int fd, const void* data, size_t size, uint64_t offset) {
  return ::pwrite(fd, data, size, static_cast<off_t>(offset));
}
int FileIo::sync(int fd) { return ::fsync(fd); }
int FileIo::close(int fd) { return ::close(fd); }

bool OutputFile::openTarget(const std::string& path) {
  struct stat info {};
  const bool exists = ::stat(path.c_str(), &info) == 0;
  // Only a path that does not exist (or a dangling link) may be created; a symbolic link
  // loop, a component that is not a folder or a folder we may not search is the answer.
  if (!exists && errno != ENOENT) return failWith(errno);
  target_ = path;
  // A device, a pipe or a socket: there is nothing to replace, so write straight to it.
  if (exists && !S_ISREG(info.st_mode)) {
    fd_ = openDirectly(path, regular_);
    return fd_ >= 0 || failWith(errno);
  }
  target_ = followLinks(path);
  struct stat resolved {};
  if (exists && (::stat(target_.c_str(), &resolved) != 0 || resolved.st_dev != info.st_dev ||
                 resolved.st_ino != info.st_ino)) {
    // The link text does not lead back to the file: a descriptor link such as /dev/stdout to
    // a deleted file or a memory file. It names no folder to put a temporary file in, and
    // like a pipe it is the caller's stream: written directly.
    target_ = path;
    fd_ = openDirectly(path, regular_);
    return fd_ >= 0 || failWith(errno);
  }

  // Replacing a file we could not open for writing would sidestep its protection.
  if (exists && faccessat(AT_FDCWD, target_.c_str(), W_OK, AT_EACCESS) != 0) return failWith(errno);

  return createTemporary(parentOf(target_) + "/", exists, [&](const std::string& name, int& error) {
    // Mode 0666 so the umask decides, as for a plain create.
    const int fd = openRetrying(name.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0666);
    if (fd < 0) {
      error = errno;
      return fd;
    }
    if (exists) {
      // The replacement keeps the replaced file's owner (where allowed) and permissions.
      if (fchown(fd, info.st_uid, info.st_gid) != 0) {
        // Not permitted for other owners when unprivileged; the file stays ours.
      }
      fchmod(fd, info.st_mode & 07777);
    }
    return fd;
  });
}

bool OutputFile::replaceTarget() { return std::rename(temporary_.c_str(), target_.c_str()) == 0 || failWith(errno); }

// The rename itself reaches the disk with the folder.
bool OutputFile::syncReplacement() {
  const int folder = openRetrying(parentOf(target_).c_str(), O_RDONLY | O_DIRECTORY);
  if (folder < 0) return failWith(errno);
  errno = 0;
  const bool synced = io_.sync(folder) == 0 || failWith(errno);
  ::close(folder);
  return synced;
}

}  // namespace bmpfun::detail
