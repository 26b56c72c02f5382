// Compiled with AVX-512F; called only where the processor has it.
#include <immintrin.h>

#include <cstddef>

#include "affinities/graph_distance.hpp"

namespace affinities::detail {

float GraphDistanceAvx512(const void* a, const void* b, const void* dimension) {
  const auto* x = static_cast<const float*>(a);
  const auto* y = static_cast<const float*>(b);
  const std::size_t d = *static_cast<const std::size_t*>(dimension);
  __m512 sums = _mm512_setzero_ps();
  std::size_t c = 0;
  for (; c + 16 <= d; c += 16) {
    const __m512 difference = _mm512_sub_ps(_mm512_loadu_ps(x + c), _mm512_loadu_ps(y + c));
    sums = _mm512_add_ps(sums, _mm512_mul_ps(difference, difference));
  }
  if (c < d) {
    // The tail through a mask: nothing past the point is read.
    const auto tail = static_cast<__mmask16>((1u << (d - c)) - 1);
    const __m512 difference = _mm512_sub_ps(_mm512_maskz_loadu_ps(tail, x + c), _mm512_maskz_loadu_ps(tail, y + c));
    sums = _mm512_add_ps(sums, _mm512_mul_ps(difference, difference));
  }
  alignas(64) float lanes[16];
  _mm512_store_ps(lanes, sums);
  float sum = 0;
  for (const float lane : lanes) sum += lane;
  return sum;
}

}  // namespace affinities::detail
