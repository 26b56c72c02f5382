// Building host arrays for tests, owned by the test.
#pragma once

#include <algorithm>
#include <cstring>
#include <type_traits>
#include <vector>

#include "vq/array_api.hpp"

namespace tsne_test {

template <typename T>
constexpr vqClassID kClassOf = std::is_same_v<T, double> ? vqDOUBLE_CLASS : vqSINGLE_CLASS;

// An m-by-n array of T's class holding `values` column by column (zeros past its end).
template <typename T>
matrix::ArrayPtr MakeArray(std::uint64_t m, std::uint64_t n, const std::vector<T>& values,
                           vqClassID class_id = kClassOf<T>) {
  matrix::ArrayPtr array(
      matrix::detail::noninlined::vq_array_api::vqCreateNumericMatrix(m, n, class_id, vqREAL));
  const std::size_t count = std::min<std::size_t>(values.size(), m * n);
  if (count > 0) std::memcpy(array->real_data(), values.data(), count * sizeof(T));
  return array;
}

// A 1-by-k row vector.
template <typename T>
matrix::ArrayPtr MakeRow(const std::vector<T>& values) {
  return MakeArray<T>(1, values.size(), values);
}

inline matrix::ArrayPtr MakeScalar(double value) { return MakeRow<double>({value}); }

// The first element of an array, as T.
template <typename T>
T First(const vqArray_tag* array) {
  T value;
  std::memcpy(&value, array->real_data(), sizeof value);
  return value;
}

}  // namespace tsne_test
