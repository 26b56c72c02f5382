// The exp rows' AVX-512 kernels, on the transcription of exp_avx512_kernel.hpp.
#include <immintrin.h>

#include <cstdint>

#include "affinities/exp_avx512_kernel.hpp"
#include "affinities/exp_rows.hpp"

namespace tsneloss::affinities::detail {
namespace {

using exp_avx512::ExpAvx512;

// x = -(double)d * beta for eight float distances (the lanes past `lanes` read as 0).
__m512d Arguments(const float* distances, __mmask8 lanes, __m512d beta) {
  const __m512d wide = _mm512_castps_pd(_mm512_maskz_loadu_ps(static_cast<__mmask16>(lanes), distances));
  const __m256 low = _mm256_castpd_ps(_mm512_mask_extractf64x4_pd(_mm256_setzero_pd(), 0xf, wide, 0));
  const __m512d d = _mm512_maskz_cvtps_pd(0xff, low);  // exact
  const __m512i sign = _mm512_set1_epi64(static_cast<long long>(0x8000000000000000ULL));
  return _mm512_mul_pd(_mm512_castsi512_pd(_mm512_xor_si512(_mm512_castpd_si512(d), sign)), beta);
}

}  // namespace

void NegatedExpsAvx512(const float* squared_distances, std::size_t count, double beta, double* out) {
  const __m512d beta_v = _mm512_set1_pd(beta);
  for (std::size_t m = 0; m < count; m += 8) {
    const auto lanes = static_cast<__mmask8>(count - m >= 8 ? 0xff : (1u << (count - m)) - 1);
    _mm512_mask_storeu_pd(out + m, lanes, ExpAvx512(Arguments(squared_distances + m, lanes, beta_v)));
  }
}

void DivideAllAvx512(double* values, std::size_t count, double divisor) {
  const __m512d by = _mm512_set1_pd(divisor);
  for (std::size_t m = 0; m < count; m += 8) {
    const auto lanes = static_cast<__mmask8>(count - m >= 8 ? 0xff : (1u << (count - m)) - 1);
    _mm512_mask_storeu_pd(values + m, lanes, _mm512_div_pd(_mm512_maskz_loadu_pd(lanes, values + m), by));
  }
}

void ExpsAvx512(const double* x, std::size_t count, double* out) {
  for (std::size_t m = 0; m < count; m += 8) {
    const auto lanes = static_cast<__mmask8>(count - m >= 8 ? 0xff : (1u << (count - m)) - 1);
    _mm512_mask_storeu_pd(out + m, lanes, ExpAvx512(_mm512_maskz_loadu_pd(lanes, x + m)));
  }
}

}  // namespace tsneloss::affinities::detail
