// The loop both vector measuring kernels share: the candidates' rows asked for ahead
// of their turn, then taken kLanes at a time, the last group padded by repeating its
// last candidate, and handed to the kernel's own sums. Included only by files built
// for a vector instruction set: each gets its own copy, built for its set.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>

namespace tsneloss::affinities::detail {
namespace {

constexpr std::size_t kMeasureAhead = 16;  // candidates' rows asked for before they are summed

template <typename Real>
void Prefetch(const Real* row, std::size_t d) {
  const char* bytes = reinterpret_cast<const char*>(row);
  for (std::size_t byte = 0; byte < d * sizeof(Real); byte += 64) __builtin_prefetch(bytes + byte);
}

// For each group of kLanes candidates from m on, sums(rows, out + m, width) writes
// the squared distances of its first `width` rows (the padding's are not written).
template <std::size_t kLanes, typename Real, typename Sums>
void MeasureInGroups(const Real* x, std::size_t d, const std::int32_t* js, std::size_t count, double* out,
                     const Sums& sums) {
  for (std::size_t ahead = 0; ahead < count && ahead < kMeasureAhead; ++ahead) {
    Prefetch(x + static_cast<std::size_t>(js[ahead]) * d, d);
  }
  for (std::size_t m = 0; m < count; m += kLanes) {
    const std::size_t width = std::min(kLanes, count - m);
    for (std::size_t ahead = m + kMeasureAhead; ahead < count && ahead < m + kMeasureAhead + kLanes; ++ahead) {
      Prefetch(x + static_cast<std::size_t>(js[ahead]) * d, d);
    }
    const Real* rows[kLanes];
    for (std::size_t r = 0; r < kLanes; ++r) rows[r] = x + static_cast<std::size_t>(js[m + std::min(r, width - 1)]) * d;
    sums(rows, out + m, width);
  }
}

}  // namespace
}  // namespace tsneloss::affinities::detail
