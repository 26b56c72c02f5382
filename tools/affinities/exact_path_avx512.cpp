#include <immintrin.h>

#include "affinities/exact_tile.hpp"

namespace affinities::detail {

// One vector per row holds the whole panel; the eight accumulators stay in registers.
// Multiply and add are separate instructions: no fused multiply-add.
void TileAvx512(const TileInput& input, float* keys, std::uint16_t* masks) {
  const std::size_t d = input.d;
  __m512 acc[kGroup];
#pragma GCC unroll 8
  for (std::size_t r = 0; r < kGroup; ++r) acc[r] = _mm512_setzero_ps();
  for (std::size_t c = 0; c < d; ++c) {
    const __m512 column = _mm512_loadu_ps(input.panel + c * kPanel);
#pragma GCC unroll 8
    for (std::size_t r = 0; r < kGroup; ++r) {
      acc[r] = _mm512_add_ps(acc[r], _mm512_mul_ps(column, _mm512_set1_ps(input.rows[r * d + c])));
    }
  }
  const __m512 norms = _mm512_loadu_ps(input.norms);
  const __m512 slacks = _mm512_loadu_ps(input.slacks);
#pragma GCC unroll 8
  for (std::size_t r = 0; r < kGroup; ++r) {
    const __m512 key = _mm512_sub_ps(norms, _mm512_add_ps(acc[r], acc[r]));
    _mm512_storeu_ps(keys + r * kPanel, key);
    masks[r] = static_cast<std::uint16_t>(
        _mm512_cmp_ps_mask(_mm512_sub_ps(key, slacks), _mm512_set1_ps(input.limits[r]), _CMP_LE_OQ));
  }
}

}  // namespace affinities::detail
