// Takes a fuzz input apart into typed values: the methods and results of
// libFuzzer's FuzzedDataProvider, for the ones the fuzzers here use. With
// it the fuzzers need no header of clang's, so the plain replay of the
// corpus that runs with the tests reads every saved input exactly as the
// fuzzer that found it did.
#ifndef ZUB_FUZZ_DATA_PROVIDER_H
#define ZUB_FUZZ_DATA_PROVIDER_H

#include <algorithm>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <string>
#include <type_traits>

namespace zub_fuzz {

class data_provider {
 public:
  data_provider(const std::uint8_t* data, size_t size)
      : data_(data), remaining_(size) {}

  size_t remaining_bytes() const { return remaining_; }

  // Integers are taken from the end of the input, one byte at a time and
  // only as many as the range needs; too few bytes leave the rest 0.
  template <typename T>
  T ConsumeIntegralInRange(T min, T max) {
    static_assert(std::is_integral<T>::value, "an integral type");
    if (min > max) std::abort();
    const std::uint64_t range =
        static_cast<std::uint64_t>(max) - static_cast<std::uint64_t>(min);
    std::uint64_t result = 0;
    size_t offset = 0;
    while (offset < sizeof(T) * CHAR_BIT && (range >> offset) > 0 &&
           remaining_ != 0) {
      --remaining_;
      result = (result << CHAR_BIT) | data_[remaining_];
      offset += CHAR_BIT;
    }
    if (range != std::numeric_limits<std::uint64_t>::max()) {
      result = result % (range + 1);
    }
    return static_cast<T>(static_cast<std::uint64_t>(min) + result);
  }

  template <typename T>
  T ConsumeIntegral() {
    return ConsumeIntegralInRange(std::numeric_limits<T>::min(),
                                  std::numeric_limits<T>::max());
  }

  bool ConsumeBool() { return (1 & ConsumeIntegral<std::uint8_t>()) != 0; }

  template <typename T, size_t N>
  T PickValueInArray(const T (&array)[N]) {
    return array[ConsumeIntegralInRange<size_t>(0, N - 1)];
  }

  // A value in [0, 1] from a 32-bit integer (float) or a 64-bit one.
  template <typename T>
  T ConsumeProbability() {
    using integral =
        typename std::conditional<(sizeof(T) <= sizeof(std::uint32_t)),
                                  std::uint32_t, std::uint64_t>::type;
    T result = static_cast<T>(ConsumeIntegral<integral>());
    result /= static_cast<T>(std::numeric_limits<integral>::max());
    return result;
  }

  // A range wider than the type holds is halved, and a first bit chooses
  // the half.
  template <typename T>
  T ConsumeFloatingPointInRange(T min, T max) {
    if (min > max) std::abort();
    T range = .0;
    T result = min;
    constexpr T zero(.0);
    if (max > zero && min < zero && max > min + std::numeric_limits<T>::max()) {
      range = static_cast<T>((max / 2.0) - (min / 2.0));
      if (ConsumeBool()) result += range;
    } else {
      range = max - min;
    }
    return result + range * ConsumeProbability<T>();
  }

  template <typename T>
  T ConsumeFloatingPoint() {
    return ConsumeFloatingPointInRange<T>(std::numeric_limits<T>::lowest(),
                                          std::numeric_limits<T>::max());
  }

  // Bytes from the front up to a lone backslash (a doubled one stands for
  // one backslash), the end of the input, or max_length characters.
  std::string ConsumeRandomLengthString(size_t max_length) {
    std::string result;
    result.reserve(std::min(max_length, remaining_));
    for (size_t i = 0; i < max_length && remaining_ != 0; ++i) {
      char next = static_cast<char>(data_[0]);
      advance(1);
      if (next == '\\' && remaining_ != 0) {
        next = static_cast<char>(data_[0]);
        advance(1);
        if (next != '\\') break;
      }
      result += next;
    }
    result.shrink_to_fit();
    return result;
  }

  std::string ConsumeRemainingBytesAsString() {
    std::string result(reinterpret_cast<const char*>(data_), remaining_);
    advance(remaining_);
    return result;
  }

 private:
  void advance(size_t n) {
    data_ += n;
    remaining_ -= n;
  }

  const std::uint8_t* data_;
  size_t remaining_;
};

}  // namespace zub_fuzz

#endif  // ZUB_FUZZ_DATA_PROVIDER_H
