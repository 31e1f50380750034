// Safe file output, the part every system shares: the buffer, the list of temporary files in
// use, their names, and the order of the steps of a save. What the system does at each step is
// in file_output_posix.cpp and file_output_windows.cpp.
#include "base/file_output.hpp"

#include "base/file_output_system.hpp"

#include <bmpfun/bmp.hpp>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <new>

namespace bmpfun::detail {

namespace {

constexpr size_t kBufferSize = size_t{1} << 18;  // 256 KiB per write call

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
  char path[output_system::kLongestPath];  // a longer path cannot be opened anyway
};
constexpr int kSlots = 64;
constinit TemporarySlot temporaries[kSlots]{};

// Lists path; the slot index, or -1 when every slot is in use. ENAMETOOLONG (as open would
// answer) when the path does not fit.
int listTemporary(const std::string& path, int& error) {
  if (path.size() >= output_system::kLongestPath) {
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

// ---------------------------------------------------------------- names

// A name no other writer is likely to pick; the exclusive create settles the rest.
std::string temporaryName(const std::string& folderPrefix) {
  static std::atomic<uint64_t> counter{0};
  uint64_t z = static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) ^
               (output_system::processId() << 32) ^ (counter.fetch_add(1) * 0x9E3779B97F4A7C15ull);
  // splitmix64 finaliser
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  z ^= z >> 31;
  char name[40];
  std::snprintf(name, sizeof name, ".bmpfun-%016llx.tmp", static_cast<unsigned long long>(z));
  return folderPrefix + name;
}

}  // namespace

}  // namespace bmpfun::detail

namespace bmpfun {

void removeTemporaryFiles() noexcept {
  for (detail::TemporarySlot& slot : detail::temporaries) {
    int expected = detail::kArmed;
    if (slot.state.compare_exchange_strong(expected, detail::kTaken)) detail::output_system::removeFile(slot.path);
  }
}

}  // namespace bmpfun

namespace bmpfun::detail {

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
  return openTarget(path);
}

bool OutputFile::createTemporary(const std::string& folderPrefix, bool targetExists, const CreateFile& create) {
  int temporaryError = 0;
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::string name = temporaryName(folderPrefix);
    // Listed before it exists, so that no moment leaves an unlisted temporary file.
    const int slot = listTemporary(name, temporaryError);
    if (temporaryError != 0) break;
    const int fd = create(name, temporaryError);
    if (fd >= 0) {
      fd_ = fd;
      regular_ = true;
      temporary_ = name;
      slot_ = slot;
      return true;
    }
    unlistTemporary(slot);
    if (temporaryError != EEXIST) break;
    temporaryError = 0;
  }
  // No temporary file here (a read-only or missing folder...). For a new file that is the
  // reason it cannot be made; an existing one is refused rather than written over in place.
  noTemporaryFile_ = targetExists;
  return failWith(temporaryError != 0 ? temporaryError : EEXIST);
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

bool OutputFile::writeAt(const void* data, size_t size, uint64_t offset) {
  const auto* bytes = static_cast<const uint8_t*>(data);
  while (size > 0) {
    if (failed_ || fd_ < 0) return false;
    errno = 0;
    const ssize_t n = io_.writeAt(fd_, bytes, size, offset);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      const int error = n == 0 && errno == 0 ? ENOSPC : errno;
      const std::lock_guard<std::mutex> hold(failing_);
      failed_ = true;
      return failWith(error);
    }
    bytes += n;
    offset += static_cast<uint64_t>(n);
    size -= static_cast<size_t>(n);
  }
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
  if (!replaceTarget()) {
    abandon();
    return false;
  }
  temporary_.clear();
  unlistTemporary(slot_);
  slot_ = -1;
  return !sync_ || syncReplacement();
}

void OutputFile::abandon() {
  failed_ = true;
  if (fd_ >= 0) {
    io_.close(fd_);
    fd_ = -1;
  }
  if (!temporary_.empty()) {
    // Removed before it is unlisted: a signal in between finds it listed and gone.
    output_system::removeFile(temporary_.c_str());
    temporary_.clear();
    unlistTemporary(slot_);
    slot_ = -1;
  }
}

}  // namespace bmpfun::detail
