// What the system-independent part of the file output (file_output.cpp) asks of the system's
// side (file_output_posix.cpp, file_output_windows.cpp), besides OutputFile's own members.
#pragma once
#include <climits>
#include <cstddef>
#include <cstdint>

namespace bmpfun::detail::output_system {

// The longest path, in bytes, a temporary file's entry in the list of files to remove holds:
// the system's limit, or on Windows (whose limit is 32767 UTF-16 units, 260 for most
// programs) sixteen times the usual one.
#ifdef _WIN32
inline constexpr size_t kLongestPath = 4096;
#else
inline constexpr size_t kLongestPath = PATH_MAX;
#endif

// Removes the file at path (a path string as the library takes them). Async-signal-safe on
// POSIX systems; on Windows it runs on the console's control thread, and may allocate.
void removeFile(const char* path) noexcept;

// A number that tells this process from others writing in the same folder.
uint64_t processId() noexcept;

}  // namespace bmpfun::detail::output_system
