#include "base/file_output.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>
#include <new>

namespace bmpfun::detail {

namespace {

constexpr size_t kBufferSize = size_t{1} << 18;  // 256 KiB per write call
constexpr int kMaxLinks = 40;                       // like the kernel's own loop limit

// ---------------------------------------------------------------- temporary files in use
//
// The one piece of process-wide state in the library, and why: a signal handler can reach
// nothing else. A process killed by SIGINT or SIGTERM during a save must not leave its
// temporary file behind, and the handler that removes it (the program's, see
// removeTemporaryFiles) can only use async-signal-safe means. So the paths live in fixed
// slots, each with a lock-free state, rather than in a container of an OutputFile.
//
// A slot holds its path from before the file is created until after it was renamed over the
// target or removed, so at no moment does a temporary file exist unlisted; unlinking a name
// that is already gone does no harm (the names carry 64 random bits, so no other file has
// it). A save beyond the slots in use at once still works, without the removal on a signal.
enum SlotState : int { kFree, kFilling, kArmed, kTaken };
static_assert(std::atomic<int>::is_always_lock_free, "signal handlers need lock-free atomics");

struct TemporarySlot {
  std::atomic<int> state{kFree};
  char path[PATH_MAX];  // a longer path cannot be opened anyway
};
constexpr int kSlots = 64;
constinit TemporarySlot temporaries[kSlots]{};

// Lists path; the slot index, or -1 when every slot is in use. ENAMETOOLONG (as open would
// answer) when the path does not fit.
int listTemporary(const std::string& path, int& error) {
  if (path.size() >= PATH_MAX) {
    error = ENAMETOOLONG;
    return -1;
  }
  for (int k = 0; k < kSlots; ++k) {
    int expected = kFree;
    if (!temporaries[k].state.compare_exchange_strong(expected, kFilling)) continue;
    std::memcpy(temporaries[k].path, path.c_str(), path.size() + 1);
    temporaries[k].state.store(kArmed);
    return k;
  }
  return -1;
}

// A slot the handler took stays taken: its path may still be in use there, and the
// handler's program is ending.
void unlistTemporary(int slot) {
  if (slot < 0) return;
  int expected = kArmed;
  temporaries[slot].state.compare_exchange_strong(expected, kFree);
}

// ---------------------------------------------------------------- paths

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

int openRetrying(const char* path, int flags, mode_t mode = 0) {
  int fd;
  do {
    fd = ::open(path, flags | O_CLOEXEC, mode);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

}  // namespace

}  // namespace bmpfun::detail

namespace bmpfun {

void removeTemporaryFiles() noexcept {
  for (detail::TemporarySlot& slot : detail::temporaries) {
    int expected = detail::kArmed;
    if (slot.state.compare_exchange_strong(expected, detail::kTaken)) ::unlink(slot.path);
  }
}

}  // namespace bmpfun

namespace bmpfun::detail {

ssize_t FileIo::write(int fd, const void* data, size_t size) { return ::write(fd, data, size); }
int FileIo::sync(int fd) { return ::fsync(fd); }
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
  if (fd_ >= 0 || !temporary_.empty()) abandon();
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
  // A device, a pipe or a socket: there is nothing to replace, so write straight to it.
  if (exists && !S_ISREG(info.st_mode)) return openDirectly(path);
  target_ = followLinks(path);
  struct stat resolved {};
  if (exists && (::stat(target_.c_str(), &resolved) != 0 || resolved.st_dev != info.st_dev ||
                 resolved.st_ino != info.st_ino)) {
    // The link text does not lead back to the file: a descriptor link such as /dev/stdout to
    // a deleted file or a memory file. It names no folder to put a temporary file in, and
    // like a pipe it is the caller's stream: written directly.
    return openDirectly(path);
  }

  // Replacing a file we could not open for writing would sidestep its protection.
  if (exists && faccessat(AT_FDCWD, target_.c_str(), W_OK, AT_EACCESS) != 0) return failWith(errno);

  const std::string directory = parentOf(target_);
  int temporaryError = 0;
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::string name = temporaryName(directory);
    // Listed before it exists, so that no moment leaves an unlisted temporary file.
    const int slot = listTemporary(name, temporaryError);
    if (temporaryError != 0) break;
    // Mode 0666 so the umask decides, as for a plain create.
    const int fd = openRetrying(name.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0666);
    if (fd >= 0) {
      fd_ = fd;
      regular_ = true;
      temporary_ = name;
      slot_ = slot;
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
    unlistTemporary(slot);
    if (temporaryError != EEXIST) break;
    temporaryError = 0;
  }
  // No temporary file here (a read-only or missing folder...). For a new file that is the
  // reason it cannot be made; an existing one is refused rather than written over in place.
  noTemporaryFile_ = exists;
  return failWith(temporaryError != 0 ? temporaryError : EEXIST);
}

bool OutputFile::openDirectly(const std::string& path) {
  target_ = path;
  fd_ = openRetrying(path.c_str(), O_WRONLY | O_TRUNC);
  if (fd_ < 0) return failWith(errno);
  struct stat info {};
  regular_ = fstat(fd_, &info) == 0 && S_ISREG(info.st_mode);
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
  // Pipes and devices have nothing to flush (fsync refuses them).
  errno = 0;
  if (sync_ && regular_ && io_.sync(fd_) != 0) {
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
  if (temporary_.empty()) return true;
  if (std::rename(temporary_.c_str(), target_.c_str()) != 0) {
    failWith(errno);
    abandon();
    return false;
  }
  temporary_.clear();
  unlistTemporary(slot_);
  slot_ = -1;
  if (!sync_) return true;
  // The rename itself reaches the disk with the folder.
  const int folder = openRetrying(parentOf(target_).c_str(), O_RDONLY | O_DIRECTORY);
  if (folder < 0) return failWith(errno);
  errno = 0;
  const bool synced = io_.sync(folder) == 0 || failWith(errno);
  ::close(folder);
  return synced;
}

void OutputFile::abandon() {
  failed_ = true;
  if (fd_ >= 0) {
    io_.close(fd_);
    fd_ = -1;
  }
  if (!temporary_.empty()) {
    // Removed before it is unlisted: a signal in between finds it listed and gone.
    ::unlink(temporary_.c_str());
    temporary_.clear();
    unlistTemporary(slot_);
    slot_ = -1;
  }
}

}  // namespace bmpfun::detail
