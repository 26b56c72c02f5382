#include "core/dense_columns.hpp"

#include "core/input_error.hpp"
#include "core/input_rules.hpp"

namespace tsneloss {

SparseColumns PackDense(std::span<const double> row_major, std::uint64_t n, const std::string& source) {
  if (row_major.size() != n * n) {
    throw InputError(source, "the buffer holds " + std::to_string(row_major.size()) + " values, not " +
                                 std::to_string(n) + " by " + std::to_string(n));
  }
  std::uint64_t stored = 0;
  for (std::size_t k = 0; k < row_major.size(); ++k) {
    if (!AffinityAllowed(row_major[k])) throw InputError::AtElement(source, k, AffinityFault(row_major[k]));
    if (row_major[k] != 0) ++stored;
  }
  if (stored == 0) throw InputError(source, "P has no stored entries");
  SparseColumns p;
  p.n = n;
  p.column_counts.assign(n, 0.0);
  p.row_indices.reserve(stored);
  p.values.reserve(stored);
  // Column j of P is every N-th value from j on; rows come out increasing.
  for (std::uint64_t j = 0; j < n; ++j) {
    for (std::uint64_t i = 0; i < n; ++i) {
      const double value = row_major[i * n + j];
      if (value == 0) continue;
      p.row_indices.push_back(static_cast<double>(i + 1));
      p.values.push_back(value);
      p.column_counts[j] += 1;
    }
  }
  return p;
}

}  // namespace tsneloss
