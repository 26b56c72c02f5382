#include "core/per_point_shares.hpp"

#include <cstddef>
#include <cstdint>

#include "kernel/loss_kernel.hpp"

namespace tsneloss::core {
namespace {

template <typename T>
std::vector<double> SharesIn(const Embedding& y, const double* column_counts, const double* row_indices,
                             const double* values, double z) {
  std::size_t entries = 0;
  for (std::uint64_t i = 0; i < y.n; ++i) entries += static_cast<std::size_t>(column_counts[i]);
  // The module's own element type: float needs rounded copies, as the tool hands it.
  const std::vector<T> y_t(y.coordinates.begin(), y.coordinates.end());
  const std::vector<T> values_t(values, values + entries);
  const auto n = static_cast<std::int32_t>(y.n);
  const auto d = static_cast<std::uint32_t>(y.d);
  std::vector<double> shares(y.n, 0.0);
  std::size_t first_entry = 0;
  for (std::int32_t i = 0; i < n; ++i) {
    T share = T(0);
    quarn::tsnevek::LossOverColumns<T>(y_t.data(), i, i + 1, d, row_indices + first_entry, column_counts,
                                       values_t.data() + first_entry, static_cast<T>(z), &share);
    shares[static_cast<std::size_t>(i)] = static_cast<double>(share);
    first_entry += static_cast<std::size_t>(column_counts[i]);
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

}  // namespace tsneloss::core
