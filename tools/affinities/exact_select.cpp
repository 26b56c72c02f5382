#include "affinities/exact_select.hpp"

#include <algorithm>
#include <cstdint>
#include <limits>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace tsneloss::affinities::detail {
namespace {

// The larger and the smaller of two floats without a branch: the compiler may pick a
// jump for std::max, which the buffer's random order mispredicts half the time.
#if defined(__SSE2__)
float Larger(float a, float b) { return _mm_cvtss_f32(_mm_max_ss(_mm_set_ss(a), _mm_set_ss(b))); }
float Smaller(float a, float b) { return _mm_cvtss_f32(_mm_min_ss(_mm_set_ss(a), _mm_set_ss(b))); }
#else
float Larger(float a, float b) { return std::max(a, b); }
float Smaller(float a, float b) { return std::min(a, b); }
#endif

}  // namespace

float BucketBound(const float* upper, std::size_t size, std::size_t k) {
  // Four running extremes: one would wait on the latency of each comparison.
  float low[4], high[4];
  for (std::size_t l = 0; l < 4; ++l) low[l] = high[l] = upper[0];
  std::size_t m = 0;
  for (; m + 4 <= size; m += 4) {
    for (std::size_t l = 0; l < 4; ++l) {
      low[l] = std::min(low[l], upper[m + l]);
      high[l] = std::max(high[l], upper[m + l]);
    }
  }
  for (; m < size; ++m) {
    low[0] = std::min(low[0], upper[m]);
    high[0] = std::max(high[0], upper[m]);
  }
  const float lowest = std::min(std::min(low[0], low[1]), std::min(low[2], low[3]));
  const float highest = std::max(std::max(high[0], high[1]), std::max(high[2], high[3]));
  float scale = static_cast<float>(kBuckets - 1) / (highest - lowest);
  if (!(scale <= std::numeric_limits<float>::max())) scale = std::numeric_limits<float>::max();
  std::uint32_t counts[kBuckets] = {};
  float tops[kBuckets];
  std::fill(std::begin(tops), std::end(tops), lowest);
  for (m = 0; m < size; ++m) {
    const auto bucket = static_cast<std::size_t>(Smaller((upper[m] - lowest) * scale, kBuckets - 1));
    ++counts[bucket];
    tops[bucket] = Larger(tops[bucket], upper[m]);
  }
  std::size_t cursor = 0;
  for (std::size_t below = counts[0]; below < k; below += counts[++cursor]) {
  }
  float bound = lowest;
  for (std::size_t b = 0; b <= cursor; ++b) bound = std::max(bound, tops[b]);
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
