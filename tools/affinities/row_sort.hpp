// One row of neighbours put into increasing index order, the squared distances
// carried along; equal indices (lists given by a caller may repeat one) keep their
// order, so every path gives the same row.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tsneloss::affinities::detail {

// Rows up to this long are ranked by vector compares; longer ones sorted.
inline constexpr std::size_t kRankedRowAtMost = 512;

void SortRowByIndex(std::int32_t* indices, float* squared_distances, std::size_t k);
// Each entry's place counted sixteen compares at a time (k <= kRankedRowAtMost).
void SortRowByIndexAvx512(std::int32_t* indices, float* squared_distances, std::size_t k);

using RowSortKernel = void (*)(std::int32_t* indices, float* squared_distances, std::size_t k);

// The widest row sort available.
RowSortKernel RowSortFor(std::size_t k);

}  // namespace tsneloss::affinities::detail
