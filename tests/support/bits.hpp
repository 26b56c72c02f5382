// Exact comparison of floating-point results: the same bits, or both not a number.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

namespace tsne_test {

template <typename T>
auto Bits(T value) {
  using Word = std::conditional_t<sizeof(T) == 8, std::uint64_t, std::uint32_t>;
  Word word;
  std::memcpy(&word, &value, sizeof word);
  return word;
}

// Each value's bits, for comparing whole arrays with EXPECT_EQ.
inline std::vector<std::uint64_t> BitsOf(const std::vector<double>& values) {
  std::vector<std::uint64_t> bits;
  for (const double value : values) bits.push_back(Bits(value));
  return bits;
}

template <typename T>
::testing::AssertionResult SameBits(T actual, T expected) {
  if ((std::isnan(actual) && std::isnan(expected)) || Bits(actual) == Bits(expected)) {
    return ::testing::AssertionSuccess();
  }
  return ::testing::AssertionFailure() << std::hexfloat << "got " << actual << ", expected "
                                       << expected;
}

}  // namespace tsne_test
