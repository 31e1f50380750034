// Byte sources, the part every system shares; FileSource's opening and seeking are in
// byte_source_posix.cpp and byte_source_windows.cpp.
#include "base/byte_source.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace bmpfun::detail {

FileSource::~FileSource() {
  if (file_ != nullptr) std::fclose(file_);
}

void FileSource::noteReadError() {
  ended_ = true;
  if (std::ferror(file_) != 0 && error_ == 0) error_ = errno != 0 ? errno : EIO;
}

size_t FileSource::read(void* buffer, size_t count) {
  if (ended_ || count == 0 || file_ == nullptr) return 0;
  errno = 0;
  const size_t got = std::fread(buffer, 1, count, file_);
  offset_ += got;
  if (got < count) noteReadError();
  return got;
}

uint64_t FileSource::skip(uint64_t count) {
  if (ended_ || count == 0 || file_ == nullptr) return 0;
  uint64_t passed = 0;
  // A regular file is passed by seeking, but only up to the size the system reported when it
  // was opened: that size can be wrong (files under /proc report 0, a file may grow), and
  // only a read finds the real end. What lies past it is read through like a pipe.
  if (seekable_) {
    uint64_t position = 0;
    if (tell(file_, position)) {
      const uint64_t step = std::min(count, position < size_ ? size_ - position : 0);
      if (step > 0 && seek(file_, position + step)) {
        offset_ += step;
        passed = step;
      }
    }
    // Seeking failed: everything is read through.
  }
  // Streams that cannot seek are read through in bounded pieces, never by the whole count.
  char scratch[16384];
  while (passed < count) {
    const size_t want = static_cast<size_t>(std::min<uint64_t>(sizeof scratch, count - passed));
    errno = 0;
    const size_t got = std::fread(scratch, 1, want, file_);
    passed += got;
    offset_ += got;
    if (got < want) {
      noteReadError();
      break;
    }
  }
  return passed;
}

size_t ByteSource::readAt(void*, size_t, uint64_t, int&) const { return 0; }

size_t MemorySource::readAt(void* buffer, size_t count, uint64_t offset, int&) const {
  if (offset >= size_) return 0;
  const size_t step = std::min<size_t>(count, size_ - static_cast<size_t>(offset));
  std::memcpy(buffer, data_ + offset, step);
  return step;
}

size_t MemorySource::read(void* buffer, size_t count) {
  if (ended_ || count == 0) return 0;
  const size_t step = std::min(count, size_ - position_);
  if (step > 0) std::memcpy(buffer, data_ + position_, step);
  position_ += step;
  if (step < count) ended_ = true;
  return step;
}

uint64_t MemorySource::skip(uint64_t count) {
  if (ended_ || count == 0) return 0;
  const uint64_t step = std::min<uint64_t>(count, size_ - position_);
  position_ += static_cast<size_t>(step);
  if (step < count) ended_ = true;
  return step;
}

bool guardedRead(void* buffer, size_t itemSize, size_t itemCount, ByteSource& source) {
  if (source.eof()) return false;
  const size_t total = itemSize * itemCount;
  return source.read(buffer, total) >= total;
}

bool guardedSkip(uint64_t count, ByteSource& source) {
  if (source.eof()) return false;
  return source.skip(count) >= count;
}

}  // namespace bmpfun::detail
