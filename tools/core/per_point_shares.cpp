#include "core/per_point_shares.hpp"

#include <cmath>
#include <cstddef>
#include <cstdint>

namespace tsneloss {
namespace {

double Log(double x) { return std::log(x); }
float Log(float x) { return logf(x); }

// The same operations in the same order as the module's kernel, one column at a
// time: 1 + |y_i - y_j|^2 summed from 1 in dimension order, (p * s) * Z, its
// logarithm times p added to the column's running sum; a stored zero adds nothing.
template <typename T>
std::vector<double> SharesIn(const Embedding& y, const double* column_counts, const double* row_indices,
                             const double* values, double z_given) {
  const std::uint64_t d = y.d;
  const T z = static_cast<T>(z_given);
  std::vector<double> shares(y.n, 0.0);
  std::size_t entry = 0;
  for (std::uint64_t i = 0; i < y.n; ++i) {
    const double* y_i = y.coordinates.data() + i * d;
    const auto count = static_cast<std::size_t>(column_counts[i]);
    T sum = T(0);
    for (const std::size_t end = entry + count; entry < end; ++entry) {
      const T value = static_cast<T>(values[entry]);
      if (value == T(0)) continue;
      const double* y_j = y.coordinates.data() + (static_cast<std::uint64_t>(row_indices[entry]) - 1) * d;
      T s = T(1);
      for (std::uint64_t k = 0; k < d; ++k) {
        const T diff = static_cast<T>(y_i[k]) - static_cast<T>(y_j[k]);
        s = s + diff * diff;
      }
      const T logarithm = Log((value * s) * z);
      sum = logarithm * value + sum;
    }
    shares[i] = static_cast<double>(sum);
  }
  return shares;
}

}  // namespace

std::vector<double> PerPointShares(const Embedding& y, const double* column_counts, const double* row_indices,
                                   const double* values, double z, bool single) {
  return single ? SharesIn<float>(y, column_counts, row_indices, values, z)
                : SharesIn<double>(y, column_counts, row_indices, values, z);
}

std::vector<double> PerPointShares(const Embedding& y, const SparseColumns& p, double z, bool single) {
  return PerPointShares(y, p.column_counts.data(), p.row_indices.data(), p.values.data(), z, single);
}

}  // namespace tsneloss
