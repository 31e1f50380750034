// The copy of the C library's generator that the WebAssembly build draws from must give the
// native rand()'s sequence, so it is checked here against the real one on every native build.
#include "image/c_random.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>

namespace bmpfun::detail {
namespace {

// Seeds that take each branch of the seeding: 0 (read as 1), the unseeded 1, ordinary ones,
// and seeds past 2^31 - 1, whose first word is negative in the original.
const uint32_t kSeeds[] = {0u, 1u, 2u, 42u, 127773u, 2147483647u, 2147483648u, 4294967295u};

TEST(CLibraryRandom, FollowsTheCLibraryForEverySeed) {
  for (const uint32_t seed : kSeeds) {
    std::srand(seed);
    CLibraryRandom copy(seed);
    for (int k = 0; k < 100000; ++k) {
      const int expected = std::rand();
      const int32_t got = copy.next();
      if (got != expected) {
        ADD_FAILURE() << "seed " << seed << ", draw " << k << ": " << got << " instead of " << expected;
        break;
      }
    }
  }
}

TEST(CLibraryRandom, UnseededSequenceStaysEqualOverALongRun) {
  // noise on a 4096 x 4096 image draws 4 x 2^24 numbers; follow the unseeded sequence that far.
  std::srand(1);
  CLibraryRandom copy;
  int64_t firstDifference = -1;
  for (int64_t k = 0; k < (int64_t{1} << 26); ++k) {
    if (copy.next() != std::rand()) {
      firstDifference = k;
      break;
    }
  }
  EXPECT_EQ(firstDifference, -1);
}

TEST(CLibraryRandom, ReseedStartsTheSequenceAgain) {
  CLibraryRandom copy;
  const int32_t first = copy.next(), second = copy.next();
  for (int k = 0; k < 1000; ++k) copy.next();
  copy.reseed(1);
  EXPECT_EQ(copy.next(), first);
  EXPECT_EQ(copy.next(), second);
}

TEST(RuntimeRand, NativeBuildDrawsFromTheCLibrary) {
  // A native build must keep calling rand(): interleaved calls share one sequence.
  seedRuntimeRand(7);
  const int32_t a = runtimeRand();
  const int b = std::rand();
  std::srand(7);
  EXPECT_EQ(std::rand(), a);
  EXPECT_EQ(std::rand(), b);
}

}  // namespace
}  // namespace bmpfun::detail
