// Holds fuzzed_input.hpp to libFuzzer's FuzzedDataProvider: the same random byte strings, the
// same random sequence of calls (every kind and range the targets use, and others), and the
// two must give the same values (reals bit for bit) and leave the same bytes. Built and run
// by CTest where clang's header is available (the clang build).
#include "fuzzed_input.hpp"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdio>
#include <cstring>
#include <random>
#include <utility>
#include <vector>

namespace {

bool sameReal(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// One call of a kind chosen by the generator on both providers; true when they agree.
bool sameCall(std::mt19937_64& rng, FuzzedDataProvider& theirs, bmpfun::fuzz::FuzzedInput& ours) {
  switch (rng() % 9) {
    case 0: return theirs.ConsumeBool() == ours.ConsumeBool();
    case 1: {
      const int low = static_cast<int>(rng() % 50) - 25, high = low + static_cast<int>(rng() % 100);
      return theirs.ConsumeIntegralInRange<int>(low, high) == ours.ConsumeIntegralInRange<int>(low, high);
    }
    case 2: return theirs.ConsumeIntegral<int32_t>() == ours.ConsumeIntegral<int32_t>();
    case 3: return theirs.ConsumeIntegral<char16_t>() == ours.ConsumeIntegral<char16_t>();
    case 4: return theirs.ConsumeIntegral<uint64_t>() == ours.ConsumeIntegral<uint64_t>();
    case 5: {
      const size_t high = rng() % 20;
      return theirs.ConsumeIntegralInRange<size_t>(0, high) == ours.ConsumeIntegralInRange<size_t>(0, high);
    }
    case 6: {  // a range whose width overflows, and an ordinary one
      const bool wide = rng() % 2 == 0;
      const double low = wide ? -1e308 : -4.5, high = wide ? 1e308 : 100.25;
      return sameReal(theirs.ConsumeFloatingPointInRange<double>(low, high),
                      ours.ConsumeFloatingPointInRange<double>(low, high));
    }
    case 7: {
      int32_t low = static_cast<int32_t>(rng()), high = static_cast<int32_t>(rng());
      if (low > high) std::swap(low, high);
      return theirs.ConsumeIntegralInRange<int32_t>(low, high) == ours.ConsumeIntegralInRange<int32_t>(low, high);
    }
    default: return theirs.ConsumeIntegralInRange<int>(0xD7FF, 0xE000) == ours.ConsumeIntegralInRange<int>(0xD7FF, 0xE000);
  }
}

}  // namespace

int main() {
  std::mt19937_64 rng(20261208);
  long calls = 0, differences = 0;
  for (int round = 0; round < 100000; ++round) {
    std::vector<uint8_t> data(rng() % 40);  // often shorter than the calls want
    for (uint8_t& byte : data) byte = static_cast<uint8_t>(rng());
    FuzzedDataProvider theirs(data.data(), data.size());
    bmpfun::fuzz::FuzzedInput ours(data.data(), data.size());
    for (int k = 0; k < 12; ++k, ++calls) {
      if (!sameCall(rng, theirs, ours) || theirs.remaining_bytes() != ours.remaining_bytes()) ++differences;
    }
  }
  std::printf("%ld calls, %ld differences\n", calls, differences);
  return differences == 0 ? 0 : 1;
}
