#include "affinities/exact_select.hpp"

#include <algorithm>
#include <cstdint>
#include <limits>


namespace tsneloss::affinities::detail {
float CountedBound(const float* upper, std::size_t size, std::size_t k) {
  float lowest = upper[0], highest = upper[0];
  for (std::size_t m = 1; m < size; ++m) {
    lowest = std::min(lowest, upper[m]);
    highest = std::max(highest, upper[m]);
  }
  float low = lowest, high = highest;
  for (int step = 0; step < kHalvings; ++step) {
    const float middle = 0.5f * low + 0.5f * high;
    std::size_t under = 0;
    for (std::size_t m = 0; m < size; ++m) under += upper[m] <= middle;
    (under >= k ? high : low) = middle;
  }
  float bound = lowest;
  for (std::size_t m = 0; m < size; ++m) bound = std::max(bound, upper[m] <= high ? upper[m] : lowest);
  return bound;
}

void Prune(Candidates& candidates, float limit) {
  float* lower = candidates.lower;
  float* upper = candidates.upper;
  std::int32_t* index = candidates.index;
  std::size_t kept = 0;
  for (std::size_t m = 0; m < candidates.size; ++m) {
    const float below = lower[m];
    lower[kept] = below;
    upper[kept] = upper[m];
    index[kept] = index[m];
    kept += below <= limit;
  }
  candidates.size = kept;
}

}  // namespace tsneloss::affinities::detail
