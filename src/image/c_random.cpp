#include "image/c_random.hpp"

#include <cstdlib>
#include <mutex>

namespace bmpfun::detail {

void CLibraryRandom::reseed(uint32_t seed) {
  if (seed == 0) seed = 1;
  // The words are signed 32-bit in the original; a seed past 2^31 - 1 starts negative, and
  // division truncates toward zero.
  int32_t word = static_cast<int32_t>(seed);
  state_[0] = seed;
  for (size_t i = 1; i < kWords; ++i) {
    const int64_t hi = word / 127773;
    const int64_t lo = word % 127773;
    int64_t next = 16807 * lo - 2836 * hi;
    if (next < 0) next += 2147483647;
    word = static_cast<int32_t>(next);
    state_[i] = static_cast<uint32_t>(word);
  }
  front_ = kSeparation;
  rear_ = 0;
  for (int discard = 0; discard < static_cast<int>(kWords) * 10; ++discard) next();
}

int32_t CLibraryRandom::next() {
  const uint32_t value = state_[front_] + state_[rear_];
  state_[front_] = value;
  front_ = front_ + 1 == kWords ? 0 : front_ + 1;
  rear_ = rear_ + 1 == kWords ? 0 : rear_ + 1;
  return static_cast<int32_t>(value >> 1);
}

#if defined(__GLIBC__)
int32_t runtimeRand() { return std::rand(); }
void seedRuntimeRand(uint32_t seed) { std::srand(seed); }
#else
namespace {
// rand()'s state is process-wide in the GNU C library (and locked); this copy of it is too.
struct ProcessGenerator {
  std::mutex lock;
  CLibraryRandom generator;
};
ProcessGenerator& processGenerator() {
  static ProcessGenerator process;
  return process;
}
}  // namespace

int32_t runtimeRand() {
  ProcessGenerator& process = processGenerator();
  const std::lock_guard<std::mutex> hold(process.lock);
  return process.generator.next();
}
void seedRuntimeRand(uint32_t seed) {
  ProcessGenerator& process = processGenerator();
  const std::lock_guard<std::mutex> hold(process.lock);
  process.generator.reseed(seed);
}
#endif

}  // namespace bmpfun::detail
