#include "bmp/file_output.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <new>

namespace bmpfun::detail {

namespace {

constexpr size_t kBufferSize = size_t{1} << 18;  // 256 KiB per write call
constexpr int kMaxLinks = 40;                       // like the kernel's own loop limit

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

// A name no other writer is likely to pick; O_EXCL settles the rest.
std::string temporaryName(const std::string& directory) {
  static std::atomic<uint64_t> counter{0};
  uint64_t z = static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) ^
               (static_cast<uint64_t>(getpid()) << 32) ^ (counter.fetch_add(1) * 0x9E3779B97F4A7C15ull);
  // splitmix64 finaliser
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  z ^= z >> 31;
  char name[40];
  std::snprintf(name, sizeof name, "/.bmpfun-%016llx.tmp", static_cast<unsigned long long>(z));
  return directory + name;
}

int openExisting(const std::string& path, int flags = O_TRUNC) {
  int fd;
  do {
    fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC | flags);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

// The whole contents of a regular file, or false when it cannot be read.
bool readWhole(const std::string& path, std::vector<uint8_t>& out) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  bool ok = true;
  try {
    uint8_t chunk[65536];
    for (;;) {
      const ssize_t n = ::read(fd, chunk, sizeof chunk);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) ok = false;
      if (n <= 0) break;
      out.insert(out.end(), chunk, chunk + n);
    }
  } catch (const std::bad_alloc&) {
    ok = false;
  }
  ::close(fd);
  return ok;
}

bool writeWholeAt0(int fd, const std::vector<uint8_t>& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::pwrite(fd, bytes.data() + done, bytes.size() - done, static_cast<off_t>(done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

ssize_t FileIo::write(int fd, const void* data, size_t size) { return ::write(fd, data, size); }
int FileIo::close(int fd) { return ::close(fd); }

namespace {
std::atomic<FileIo*> replacementIo{nullptr};
}  // namespace

FileIo& systemFileIo() {
  static FileIo io;
  FileIo* replacement = replacementIo.load();
  return replacement != nullptr ? *replacement : io;
}

FileIo* replaceSystemFileIo(FileIo* io) { return replacementIo.exchange(io); }

bool OutputFile::failWith(int error) {
  if (error_ == 0) error_ = error != 0 ? error : EIO;
  return false;
}

OutputFile::~OutputFile() {
  if (fd_ >= 0 || !temporary_.empty() || createdInPlace_ || keepsOriginal_) abandon();
}

bool OutputFile::open(const std::string& path) {
  if (fd_ >= 0) return failWith(EBUSY);
  if (path.empty()) return failWith(ENOENT);
  try {
    buffer_.resize(kBufferSize);
  } catch (const std::bad_alloc&) {
    return failWith(ENOMEM);
  }
  struct stat info {};
  const bool exists = ::stat(path.c_str(), &info) == 0;
  // Only a path that does not exist (or a dangling link) may be created; a symbolic link
  // loop, a component that is not a folder or a folder we may not search is the answer.
  if (!exists && errno != ENOENT) return failWith(errno);
  if (exists && !S_ISREG(info.st_mode)) {
    // A device, a pipe or a socket: there is nothing to replace, so write straight to it.
    target_ = path;
    fd_ = openExisting(target_);
    return fd_ >= 0 || failWith(errno);
  }
  target_ = followLinks(path);
  struct stat resolved {};
  if (exists && (::stat(target_.c_str(), &resolved) != 0 || resolved.st_dev != info.st_dev ||
                 resolved.st_ino != info.st_ino)) {
    // The link text does not lead back to the file (a descriptor link such as /dev/stdout,
    // or a change under us): no directory to put a temporary file in, so write in place.
    target_ = path;
    return openOverExisting();
  }

  // Replacing a file we could not open for writing would sidestep its protection.
  if (exists && faccessat(AT_FDCWD, target_.c_str(), W_OK, AT_EACCESS) != 0) return failWith(errno);

  const std::string directory = parentOf(target_);
  int temporaryError = 0;
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::string name = temporaryName(directory);
    // Mode 0666 so the umask decides, as for a plain create.
    const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0) {
      fd_ = fd;
      temporary_ = name;
      if (exists) {
        // The replacement keeps the replaced file's owner (where allowed) and permissions.
        if (fchown(fd, info.st_uid, info.st_gid) != 0) {
          // Not permitted for other owners when unprivileged; the file stays ours.
        }
        fchmod(fd, info.st_mode & 07777);
      }
      return true;
    }
    temporaryError = errno;
    if (errno != EEXIST && errno != EINTR) break;
  }

  // No temporary file possible here (read-only directory, no such directory...): in place.
  if (exists) return openOverExisting();
  fd_ = ::open(target_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd_ >= 0) {
    createdInPlace_ = true;
    return true;
  }
  if (errno == EEXIST) return openOverExisting();  // it appeared meanwhile
  // The reason the temporary file could not be made tells the most (e.g. a missing folder).
  return failWith(temporaryError != 0 ? temporaryError : errno);
}

bool OutputFile::openOverExisting() {
  // Without a way to put the old contents back, a failure half-way would lose them.
  std::vector<uint8_t> old;
  if (!readWhole(target_, old)) return failWith(errno);
  // Not truncated: the old bytes keep their blocks until the new ones are all written.
  fd_ = openExisting(target_, 0);
  if (fd_ < 0) return failWith(errno);
  original_ = std::move(old);
  keepsOriginal_ = true;
  written_ = 0;
  return true;
}

bool OutputFile::write(const void* data, size_t size) {
  if (failed_ || fd_ < 0) return false;
  const auto* bytes = static_cast<const uint8_t*>(data);
  while (size > 0) {
    if (used_ == buffer_.size() && !flush()) return false;
    const size_t step = std::min(size, buffer_.size() - used_);
    std::memcpy(buffer_.data() + used_, bytes, step);
    used_ += step;
    bytes += step;
    size -= step;
  }
  return true;
}

bool OutputFile::flush() {
  const uint8_t* p = buffer_.data();
  size_t left = used_;
  while (left > 0) {
    errno = 0;
    const ssize_t n = io_.write(fd_, p, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      failed_ = true;
      // A write that makes no progress without an error is a full device.
      return failWith(n == 0 && errno == 0 ? ENOSPC : errno);
    }
    p += n;
    left -= static_cast<size_t>(n);
    written_ += static_cast<uint64_t>(n);
  }
  used_ = 0;
  return true;
}

bool OutputFile::commit() {
  if (failed_ || fd_ < 0 || !flush()) {
    if (fd_ < 0) failWith(EBADF);
    abandon();
    return false;
  }
  // Written over an old file: cut off what is left of it beyond the new end.
  if (keepsOriginal_ && ::ftruncate(fd_, static_cast<off_t>(written_)) != 0) {
    failWith(errno);
    abandon();
    return false;
  }
  const int fd = fd_;
  fd_ = -1;
  // A failed close can mean lost data (delayed write errors): it counts as a failed save.
  errno = 0;
  if (io_.close(fd) != 0) {
    failWith(errno);
    abandon();
    return false;
  }
  if (!temporary_.empty()) {
    if (std::rename(temporary_.c_str(), target_.c_str()) != 0) {
      failWith(errno);
      abandon();
      return false;
    }
    temporary_.clear();
  }
  createdInPlace_ = false;
  keepsOriginal_ = false;
  original_.clear();
  return true;
}

void OutputFile::abandon() {
  failed_ = true;
  if (keepsOriginal_) {
    // Put the old contents back, straight through the system: this must not fail the way
    // the save did. Best effort: nothing more can be done if this fails too.
    const int fd = fd_ >= 0 ? fd_ : openExisting(target_, 0);
    if (fd >= 0) {
      const bool restored =
          writeWholeAt0(fd, original_) && ::ftruncate(fd, static_cast<off_t>(original_.size())) == 0;
      static_cast<void>(restored);
      if (fd != fd_) ::close(fd);
    }
    keepsOriginal_ = false;
    original_.clear();
  }
  if (fd_ >= 0) {
    io_.close(fd_);
    fd_ = -1;
  }
  if (!temporary_.empty()) {
    ::unlink(temporary_.c_str());
    temporary_.clear();
  }
  if (createdInPlace_) {
    ::unlink(target_.c_str());
    createdInPlace_ = false;
  }
}

}  // namespace bmpfun::detail
