// The parameter bytes of a fuzz input, taken apart the way libFuzzer's FuzzedDataProvider
// does it (bytes consumed from the end of the buffer, the same arithmetic, the same method
// names), so that an input means the same to the libFuzzer build and to the replay build,
// which is compiled without clang's headers. Only the calls the targets use are here.
#pragma once
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <type_traits>

namespace bmpfun::fuzz {

class FuzzedInput {
 public:
  FuzzedInput(const uint8_t* data, size_t size) : data_(data), remaining_(size) {}

  // An integer in [min, max] built from up to sizeof(T) bytes (as many as the range needs)
  // taken off the end, reduced modulo the range's size; min when no byte is left.
  template <typename T>
  T ConsumeIntegralInRange(T min, T max) {
    static_assert(std::is_integral_v<T> && sizeof(T) <= sizeof(uint64_t));
    if (min > max) std::abort();
    const uint64_t range = static_cast<uint64_t>(max) - static_cast<uint64_t>(min);
    uint64_t result = 0;
    size_t offset = 0;
    while (offset < sizeof(T) * CHAR_BIT && (range >> offset) > 0 && remaining_ != 0) {
      --remaining_;
      result = (result << CHAR_BIT) | data_[remaining_];
      offset += CHAR_BIT;
    }
    if (range != std::numeric_limits<uint64_t>::max()) result %= range + 1;
    return static_cast<T>(static_cast<uint64_t>(min) + result);
  }

  template <typename T>
  T ConsumeIntegral() {
    return ConsumeIntegralInRange(std::numeric_limits<T>::min(), std::numeric_limits<T>::max());
  }

  // The low bit of one byte; false when no byte is left.
  bool ConsumeBool() { return (ConsumeIntegral<uint8_t>() & 1) != 0; }

  // A value in [0, 1]: an unsigned integer of the real's size divided by its maximum.
  template <typename T>
  T ConsumeProbability() {
    static_assert(std::is_floating_point_v<T>);
    using Integral = std::conditional_t<(sizeof(T) <= sizeof(uint32_t)), uint32_t, uint64_t>;
    T result = static_cast<T>(ConsumeIntegral<Integral>());
    result /= static_cast<T>(std::numeric_limits<Integral>::max());
    return result;
  }

  // A real in [min, max]: min + (max - min) * probability. When max - min overflows, one
  // byte first picks the lower or the upper half of the range.
  template <typename T>
  T ConsumeFloatingPointInRange(T min, T max) {
    static_assert(std::is_floating_point_v<T>);
    if (min > max) std::abort();
    T range = 0;
    T result = min;
    if (max > T(0) && min < T(0) && max > min + std::numeric_limits<T>::max()) {
      range = static_cast<T>((max / 2.0) - (min / 2.0));
      if (ConsumeBool()) result += range;
    } else {
      range = max - min;
    }
    return result + range * ConsumeProbability<T>();
  }

  size_t remaining_bytes() const { return remaining_; }

 private:
  const uint8_t* data_;
  size_t remaining_;
};

}  // namespace bmpfun::fuzz
