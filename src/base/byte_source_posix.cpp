// FileSource on POSIX systems: fopen, fstat, ftello and fseeko; pread for reads at offsets.
#include "base/byte_source.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace bmpfun::detail {

FileSource::FileSource(const std::string& path) {
  std::FILE* file = std::fopen(path.c_str(), "rbe");
  if (file == nullptr) {
    openError_ = errno != 0 ? errno : ENOENT;
    return;
  }
  struct stat st {};
  if (fstat(fileno(file), &st) != 0 || S_ISDIR(st.st_mode)) {
    // A directory opens as a stream on some systems but never holds bytes: treat it like a
    // path that cannot be opened.
    openError_ = S_ISDIR(st.st_mode) ? EISDIR : errno;
    std::fclose(file);
    return;
  }
  file_ = file;
  descriptor_ = fileno(file);
  seekable_ = S_ISREG(st.st_mode);  // (FIFOs, terminals and devices report no useful size)
  size_ = seekable_ && st.st_size > 0 ? static_cast<uint64_t>(st.st_size) : 0;
}

size_t FileSource::readAt(void* buffer, size_t count, uint64_t offset, int& error) const {
  auto* out = static_cast<uint8_t*>(buffer);
  size_t done = 0;
  while (done < count) {
    const ssize_t n = ::pread(descriptor_, out + done, count - done, static_cast<off_t>(offset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) error = errno != 0 ? errno : EIO;
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  return done;
}

bool FileSource::tell(std::FILE* file, uint64_t& position) {
  const off_t at = ftello(file);
  if (at < 0) return false;
  position = static_cast<uint64_t>(at);
  return true;
}

bool FileSource::seek(std::FILE* file, uint64_t position) {
  return fseeko(file, static_cast<off_t>(position), SEEK_SET) == 0;
}

}  // namespace bmpfun::detail
