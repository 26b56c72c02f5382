#include "affinities/row_sort.hpp"

#include <algorithm>
#include <tuple>
#include <utility>
#include <vector>

#include "support/instruction_set.hpp"

namespace tsneloss::affinities::detail {

void SortRowByIndex(std::int32_t* indices, float* squared_distances, std::size_t k) {
  thread_local std::vector<std::pair<std::int32_t, float>> row;  // no allocation per row
  row.resize(k);
  for (std::size_t m = 0; m < k; ++m) row[m] = {indices[m], squared_distances[m]};
  std::stable_sort(row.begin(), row.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  for (std::size_t m = 0; m < k; ++m) std::tie(indices[m], squared_distances[m]) = row[m];
}

RowSortKernel RowSortFor(std::size_t k) {
#if AFFINITIES_X86_PATHS
  if (k <= kRankedRowAtMost && support::Available(support::InstructionSet::kAvx512)) return &SortRowByIndexAvx512;
#endif
  return &SortRowByIndex;
}

}  // namespace tsneloss::affinities::detail
