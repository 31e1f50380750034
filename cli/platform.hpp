// What the program asks of the system beyond the library: where its text goes, the identity
// of files (for batch), and paths for std::filesystem. platform_posix.cpp and
// platform_windows.cpp answer.
#pragma once
#include <compare>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

namespace bmpfun::cli {

// Before anything is printed. Standard output and error carry bytes as the program writes
// them (on Windows: no "\n" to "\r\n" translation, as on every other system).
void prepareStandardStreams();

// line and a line end on standard error. Its bytes; on a Windows console the characters they
// spell in UTF-8, as the console shows them whatever its code page.
void printErrorLine(const std::string& line);

// Standard error is a terminal that takes the control sequences of batch's progress line.
bool errorIsTerminal();

// A file's identity, links followed: device and file number (on Windows the volume's serial
// number and the file index). Nothing when the path names nothing.
struct FileIdentity {
  uint64_t device = 0;
  uint64_t file = 0;
  auto operator<=>(const FileIdentity&) const = default;
};
std::optional<FileIdentity> identityOf(const std::string& path);

// Whether path names a regular file (links followed); nothing when it names nothing.
std::optional<bool> isRegularFile(const std::string& path);

// A path string (as the library takes them, see <bmpfun/paths.hpp>) as std::filesystem's
// path, and back.
std::filesystem::path toPath(const std::string& path);
std::string fromPath(const std::filesystem::path& path);

}  // namespace bmpfun::cli
