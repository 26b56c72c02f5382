// The loss written out plainly, with none of the kernel's shortcuts: entry by entry in
// storage order, sum = ln((p * (1 + |y_i - y_j|^2)) * Z) * p + sum, the differences
// stored before they are squared and the squares summed in dimension order, positions
// in 32-bit arithmetic, the counts read again after every entry. Results of the module
// must match it bit for bit.
#pragma once

#include <cmath>
#include <cstdint>
#include <vector>

namespace tsne_test {

inline double ReferenceLog(double x) { return std::log(x); }
inline float ReferenceLog(float x) { return logf(x); }

template <typename T>
T ReferenceLoss(const T* y, std::int32_t n, std::uint32_t d, const double* row_indices,
                const double* column_counts, const T* values, T z) {
  T result = 0;
  std::vector<T> scratch(d, T(0));
  std::uint32_t column_start = 0;
  std::int32_t position = 0;
  for (std::int32_t i = 0; i < n; ++i) {
    const double count = column_counts[i];
    if (count > 0) {
      std::int32_t k = 0;
      do {
        const std::int32_t e = position + k;
        T s = T(1);
        const auto r = static_cast<std::int32_t>(row_indices[e] - 1.0);
        const std::uint32_t row_start = static_cast<std::uint32_t>(r) * d;
        for (std::uint32_t c = 0; c < d; ++c) {
          scratch[c] = y[column_start + c] - y[row_start + c];
        }
        for (std::uint32_t c = 0; c < d; ++c) s = s + scratch[c] * scratch[c];
        const T p = values[e];
        if (p != T(0)) {  // 0 ln 0 counts as 0
          const T product = (p * s) * z;
          const T t = ReferenceLog(product);
          result = (t * p) + result;
        }
        ++k;
      } while (column_counts[i] > static_cast<double>(k));
    }
    position += static_cast<std::int32_t>(count);
    column_start += d;
  }
  return result;
}

template <typename T>
T ReferenceLoss(const std::vector<T>& y, std::int32_t n, std::uint32_t d,
                const std::vector<double>& row_indices, const std::vector<double>& column_counts,
                const std::vector<T>& values, T z) {
  return ReferenceLoss(y.data(), n, d, row_indices.data(), column_counts.data(), values.data(), z);
}

}  // namespace tsne_test
