// The program's system side on POSIX systems.
#include "platform.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

namespace bmpfun::cli {

void prepareStandardStreams() {}

void printErrorLine(const std::string& line) { std::fprintf(stderr, "%s\n", line.c_str()); }

bool errorIsTerminal() { return ::isatty(STDERR_FILENO) == 1; }

std::optional<FileIdentity> identityOf(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return std::nullopt;
  return FileIdentity{static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)};
}

std::optional<bool> isRegularFile(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return std::nullopt;
  return S_ISREG(st.st_mode);
}

std::filesystem::path toPath(const std::string& path) { return path; }

std::string fromPath(const std::filesystem::path& path) { return path.string(); }

}  // namespace bmpfun::cli
