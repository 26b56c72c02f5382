#include <immintrin.h>

#include <bit>

#include "affinities/exact_tile.hpp"

namespace affinities::detail {

// One vector per row holds the whole panel; the eight accumulators stay in registers.
// Multiply and add are separate instructions: no fused multiply-add. The kept columns
// are compressed in registers and stored whole (the compressing store to memory is
// slow on some processors): no branch on which lanes pass.
void TileAvx512(const TileInput& input, Candidates* const* out) {
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
  const __m512i lanes = _mm512_add_epi32(_mm512_set1_epi32(input.column),
                                         _mm512_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15));
  const __mmask16 valid = _mm512_cmplt_epi32_mask(lanes, _mm512_set1_epi32(input.n));
#pragma GCC unroll 8
  for (std::size_t r = 0; r < kGroup; ++r) {
    const __m512 key = _mm512_sub_ps(norms, _mm512_add_ps(acc[r], acc[r]));
    const __m512 lower = _mm512_sub_ps(key, slacks);
    const __m512 upper = _mm512_add_ps(key, slacks);
    __mmask16 mask = _mm512_mask_cmp_ps_mask(valid, lower, _mm512_set1_ps(input.limits[r]), _CMP_LE_OQ);
    mask = _mm512_mask_cmpneq_epi32_mask(mask, lanes, _mm512_set1_epi32(input.row + static_cast<std::int32_t>(r)));
    Candidates& candidates = *out[r];
    const std::size_t size = candidates.size;
    _mm512_storeu_ps(candidates.lower + size, _mm512_maskz_compress_ps(mask, lower));
    _mm512_storeu_ps(candidates.upper + size, _mm512_maskz_compress_ps(mask, upper));
    _mm512_storeu_si512(candidates.index + size, _mm512_maskz_compress_epi32(mask, lanes));
    candidates.size = size + static_cast<std::size_t>(std::popcount(static_cast<unsigned>(mask)));
  }
}

}  // namespace affinities::detail
