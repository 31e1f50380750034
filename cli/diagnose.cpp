#include "diagnose.hpp"

#include <bmpfun/bmp.hpp>

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace bmpfun::cli {
namespace {

constexpr uint16_t kMagicBM = 19778;  // "BM" read little-endian
constexpr off_t kHeadersSize = 54;    // file header 14 + info header 40

std::string systemReason(int error) { return std::strerror(error); }

std::string folderOf(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

std::string whyNotLoaded(const std::string& path, const Limits& limits) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) return systemReason(errno);
  if (S_ISDIR(st.st_mode)) return "is a directory";
  if (access(path.c_str(), R_OK) != 0) return systemReason(errno);
  // A pipe or a device was read once already; looking at it again tells nothing.
  if (!S_ISREG(st.st_mode)) return "not a readable BMP stream";

  const BitmapFileHeader file = readFileHeaderOf(path);
  if (st.st_size < 2 || file.bfType != kMagicBM) return "not a BMP file (it does not start with \"BM\")";
  if (st.st_size < kHeadersSize) {
    return "the headers are cut short (" + std::to_string(st.st_size) + " bytes; they need " +
           std::to_string(kHeadersSize) + ")";
  }
  const BitmapInfoHeader info = readInfoHeaderOf(path);
  const unsigned bits = info.biBitCount;
  if (info.biCompression != 0 && !(info.biCompression == 3 && bits == 16)) {
    return "compression " + std::to_string(info.biCompression) +
           " is not supported (uncompressed files only, and bit fields at 16 bits)";
  }
  if (bits != 1 && bits != 4 && bits != 8 && bits != 16 && bits != 24 && bits != 32) {
    return std::to_string(bits) + " bits per pixel is not supported (1, 4, 8, 16, 24 or 32)";
  }
  if (info.biWidth <= 0 || info.biHeight <= 0) {
    return "a size of " + std::to_string(info.biWidth) + " x " + std::to_string(info.biHeight) +
           " is not supported (both must be at least 1; top-down files are not read)";
  }
  if (!limits.allows(info.biWidth, info.biHeight)) {
    return std::to_string(info.biWidth) + " x " + std::to_string(info.biHeight) +
           " pixels passes the limit of " + std::to_string(limits.maxPixels) +
           " pixels (see --max-pixels)";
  }
  return "not enough memory for " + std::to_string(info.biWidth) + " x " +
         std::to_string(info.biHeight) + " pixels";
}

std::string whyNotWritten(const std::string& path) {
  struct stat st {};
  if (stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return "is a directory";
  const std::string folder = folderOf(path);
  struct stat dir {};
  if (stat(folder.c_str(), &dir) != 0) return "folder " + folder + ": " + systemReason(errno);
  if (!S_ISDIR(dir.st_mode)) return folder + " is not a directory";
  const bool exists = lstat(path.c_str(), &st) == 0;
  if (!exists && access(folder.c_str(), W_OK | X_OK) != 0) return "folder " + folder + ": " + systemReason(errno);
  if (exists && access(path.c_str(), W_OK) != 0) return systemReason(errno);
  return "the write failed (a full disk, a file size limit or an I/O error)";
}

}  // namespace bmpfun::cli
