// The part of libFuzzer's FuzzedDataProvider that the engine fuzzer uses,
// for building the fuzzer's replay with a compiler that lacks libFuzzer
// (scripts/test, with g++).  An input decodes to the same values as under
// libFuzzer: integers are taken from the end of the data, a byte at a time,
// most significant first, as few bytes as the range needs, reduced modulo
// the range's size; an exhausted input gives the range's minimum.
#pragma once

#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <type_traits>

class FuzzedDataProvider {
 public:
  FuzzedDataProvider(const std::uint8_t* data, std::size_t size) : data_(data), left_(size) {}

  template <class T>
  T ConsumeIntegralInRange(T min, T max) {
    static_assert(std::is_integral_v<T> && sizeof(T) <= sizeof(std::uint64_t));
    if (min > max) std::abort();
    const std::uint64_t range = static_cast<std::uint64_t>(max) - static_cast<std::uint64_t>(min);
    std::uint64_t result = 0;
    for (std::size_t offset = 0;
         offset < sizeof(T) * CHAR_BIT && (range >> offset) > 0 && left_ != 0; offset += CHAR_BIT) {
      --left_;
      result = (result << CHAR_BIT) | data_[left_];
    }
    if (range != std::numeric_limits<std::uint64_t>::max()) result %= range + 1;
    return static_cast<T>(static_cast<std::uint64_t>(min) + result);
  }

  template <class T>
  T ConsumeIntegral() {
    return ConsumeIntegralInRange(std::numeric_limits<T>::min(), std::numeric_limits<T>::max());
  }

  bool ConsumeBool() { return 1 & ConsumeIntegral<std::uint8_t>(); }

 private:
  const std::uint8_t* data_;
  std::size_t left_;
};
