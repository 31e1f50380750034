// The C runtime's rand(), which noise and the random dither draw from. Builds on the GNU C
// library call it. Other C libraries (WebAssembly's, Windows') have different generators (and
// Windows' keeps one per thread), so those builds carry a copy of the GNU C library's: the
// same picture then gets the same noise in a browser or on Windows as from the command-line
// program on Linux.
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>

namespace bmpfun::detail {

// The GNU C library's random() in its default configuration (TYPE_3): an additive lagged
// Fibonacci generator over 31 words, s[i] = s[i - 31] + s[i - 3] mod 2^32, giving s[i] >> 1.
// The seed fills the words through the minimal standard generator (16807 x mod 2^31 - 1),
// then 310 outputs are thrown away. Seed 0 counts as 1, and a process that never seeds is at
// seed 1: 1804289383, 846930886, 1681692777, ...
class CLibraryRandom {
 public:
  explicit CLibraryRandom(uint32_t seed = 1) { reseed(seed); }
  void reseed(uint32_t seed);
  int32_t next();  // 0 .. 2^31 - 1

 private:
  static constexpr size_t kWords = 31;
  static constexpr size_t kSeparation = 3;
  std::array<uint32_t, kWords> state_{};
  size_t front_ = kSeparation;  // the word that receives the sum and is returned
  size_t rear_ = 0;
};

// rand() as the library draws it: std::rand() with the GNU C library, the process's
// CLibraryRandom elsewhere. The library never seeds it.
int32_t runtimeRand();
// srand(seed) on the same generator. Only hosts call it: the web page starts every run of its
// chain at seed 1, as a fresh command-line process would.
void seedRuntimeRand(uint32_t seed);

}  // namespace bmpfun::detail
