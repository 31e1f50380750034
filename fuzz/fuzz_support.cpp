#include "fuzz_support.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

namespace bmpfun::fuzz {

namespace {

std::string makeScratch() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/bmpfun-fuzz-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) {
    std::perror("bmpfun fuzz: mkdtemp");
    std::abort();
  }
  return pattern;
}

void removeScratch() {
  clearScratch();
  rmdir(scratchDir().c_str());
}

}  // namespace

void fail(const char* file, int line, const char* condition, const std::string& note) {
  std::fprintf(stderr, "\n%s:%d: check failed: %s\n  %s\n", file, line, condition, note.c_str());
  std::fflush(stderr);
  std::abort();
}

const std::string& scratchDir() {
  static const std::string dir = [] {
    std::string made = makeScratch();
    return made;
  }();
  static const bool registered = (std::atexit(removeScratch), true);
  (void)registered;
  return dir;
}

std::string scratchFile(const std::string& name) { return scratchDir() + "/" + name; }

bool writeFile(const std::string& path, const uint8_t* data, size_t size) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  size_t done = 0;
  while (done < size) {
    const ssize_t n = write(fd, data + done, size - done);
    if (n <= 0) {
      close(fd);
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return close(fd) == 0;
}

std::vector<uint8_t> readFile(const std::string& path) {
  std::vector<uint8_t> bytes;
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return bytes;
  uint8_t buffer[65536];
  ssize_t n = 0;
  while ((n = read(fd, buffer, sizeof buffer)) > 0) bytes.insert(bytes.end(), buffer, buffer + n);
  close(fd);
  return bytes;
}

bool fileExists(const std::string& path) {
  struct stat st {};
  return lstat(path.c_str(), &st) == 0;
}

void clearScratch(const std::string& keep) {
  DIR* dir = opendir(scratchDir().c_str());
  if (dir == nullptr) return;
  while (const dirent* entry = readdir(dir)) {
    const std::string name = entry->d_name;
    if (name == "." || name == ".." || name == keep) continue;
    const std::string path = scratchDir() + "/" + name;
    if (unlink(path.c_str()) != 0) rmdir(path.c_str());
  }
  closedir(dir);
}

std::vector<std::string> scratchEntries() {
  std::vector<std::string> names;
  DIR* dir = opendir(scratchDir().c_str());
  if (dir == nullptr) return names;
  while (const dirent* entry = readdir(dir)) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  closedir(dir);
  return names;
}

FUZZ_NO_COVERAGE uint32_t hashBytes(const uint8_t* data, size_t size) {
  uint32_t hash = 2166136261u;
  for (size_t i = 0; i < size; ++i) hash = (hash ^ data[i]) * 16777619u;
  return hash;
}

FUZZ_NO_COVERAGE int64_t firstImageMismatch(std::span<const Pixel> image, const BitmapPixel* bitmap) {
  for (size_t i = 0; i < image.size(); ++i) {
    const BitmapPixel s = bitmap[i];
    if (!(image[i] == Pixel{s.red, s.green, s.blue, s.alpha})) return static_cast<int64_t>(i);
  }
  return -1;
}

void silenceStdout() {
  std::fflush(stdout);
  const int fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
  if (fd >= 0) {
    dup2(fd, STDOUT_FILENO);
    close(fd);
  }
}

}  // namespace bmpfun::fuzz
