// Helpers shared by the fuzz targets: a private scratch folder per process, file writing and
// a check that stops the run with a message when a guarantee of the library does not hold.
#pragma once
#include <bmpfun/bmp.hpp>
#include <bmpfun/pixel.hpp>

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace bmpfun::fuzz {

// Prints the failed condition and aborts, so libFuzzer records the input as a crash.
[[noreturn]] void fail(const char* file, int line, const char* condition, const std::string& note);

// For a target's own checking loops: they need no coverage feedback, and without it they cost
// a fraction (every comparison of an instrumented loop calls into the fuzzer). Only clang
// instruments; the replay build under other compilers has nothing to leave out.
#if defined(__clang__)
#define FUZZ_NO_COVERAGE __attribute__((no_sanitize("coverage")))
#else
#define FUZZ_NO_COVERAGE
#endif

#define FUZZ_CHECK(cond, note)                                   \
  do {                                                           \
    if (!(cond)) ::bmpfun::fuzz::fail(__FILE__, __LINE__, #cond, (note)); \
  } while (0)

// The scratch folder of this process (made on first use under $TMPDIR or /tmp, removed with
// its contents when the process exits normally). Every file a target writes lives here.
const std::string& scratchDir();
std::string scratchFile(const std::string& name);
// Writes bytes to path (truncating); false on any error.
bool writeFile(const std::string& path, const uint8_t* data, size_t size);
// The bytes of the file at path; empty when it cannot be read.
std::vector<uint8_t> readFile(const std::string& path);
bool fileExists(const std::string& path);
// Removes every entry of the scratch folder except the names listed.
void clearScratch(const std::string& keep = "");

// Names of the entries of the scratch folder.
std::vector<std::string> scratchEntries();

// FNV-1a of the bytes: a target's way to choose options from its input reproducibly.
uint32_t hashBytes(const uint8_t* data, size_t size);
// The first pixel (row-major) where an image and a bitmap differ, red first in the image;
// -1 when none does.
int64_t firstImageMismatch(std::span<const Pixel> image, const BitmapPixel* bitmap);


// Silences standard output (the entry prints its messages there).
void silenceStdout();

}  // namespace bmpfun::fuzz
