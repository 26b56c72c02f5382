// Compiled with AVX2; called only where the processor has it.
#include <immintrin.h>

#include <cstddef>

#include "affinities/graph_distance.hpp"

namespace affinities::detail {

float GraphDistanceAvx2(const void* a, const void* b, const void* dimension) {
  const auto* x = static_cast<const float*>(a);
  const auto* y = static_cast<const float*>(b);
  const std::size_t d = *static_cast<const std::size_t*>(dimension);
  __m256 sums = _mm256_setzero_ps();
  std::size_t c = 0;
  for (; c + 8 <= d; c += 8) {
    const __m256 difference = _mm256_sub_ps(_mm256_loadu_ps(x + c), _mm256_loadu_ps(y + c));
    sums = _mm256_add_ps(sums, _mm256_mul_ps(difference, difference));
  }
  alignas(32) float lanes[8];
  _mm256_store_ps(lanes, sums);
  float sum = ((lanes[0] + lanes[1]) + (lanes[2] + lanes[3])) + ((lanes[4] + lanes[5]) + (lanes[6] + lanes[7]));
  for (; c < d; ++c) {
    const float difference = x[c] - y[c];
    sum += difference * difference;
  }
  return sum;
}

}  // namespace affinities::detail
