// The exact normaliser's eight lanes in two AVX2 registers (lanes 0-3 and 4-7). Built
// with -mavx2 (never with fused multiply-add) and only called where the processor has it.
#include <immintrin.h>

#include "normaliser/exact_sweep.hpp"

namespace tsneloss::normaliser::detail {
namespace {

// The fraction of Interior for four lanes.
inline __m256d GroupTerm(__m256d a0, __m256d a1, __m256d a2, __m256d a3) {
  const __m256d one = _mm256_set1_pd(1.0);
  const __m256d p01 = _mm256_mul_pd(a0, a1);
  const __m256d p23 = _mm256_mul_pd(a2, a3);
  const __m256d denominator = _mm256_mul_pd(p01, p23);
  const __m256d numerator = _mm256_add_pd(_mm256_mul_pd(_mm256_add_pd(a0, a1), p23),
                                          _mm256_mul_pd(_mm256_add_pd(a2, a3), p01));
  const __m256d term = _mm256_div_pd(numerator, denominator);
  const __m256d fraction_ok = _mm256_cmp_pd(denominator, _mm256_set1_pd(kFractionLimit), _CMP_LT_OQ);
  if (_mm256_movemask_pd(fraction_ok) == 0xF) return term;
  const __m256d apart = _mm256_add_pd(_mm256_add_pd(_mm256_div_pd(one, a0), _mm256_div_pd(one, a1)),
                                      _mm256_add_pd(_mm256_div_pd(one, a2), _mm256_div_pd(one, a3)));
  return _mm256_blendv_pd(apart, term, fraction_ok);
}

struct Avx2Path {
  struct Lanes {
    __m256d low, high;
  };
  static Lanes Zero() { return {_mm256_setzero_pd(), _mm256_setzero_pd()}; }

  template <std::size_t kD>
  static void Interior(const SweepInput& in, std::size_t r0, std::size_t c, Lanes& lanes) {
    const std::size_t d = kD != 0 ? kD : in.d;
    const __m256d one = _mm256_set1_pd(1.0);
    // a_r = 1 + |y_r - y_j|^2, the 1 added first: ((1 + d0^2) + d1^2) + ...
    __m256d low[kGroupRows], high[kGroupRows];
#pragma GCC unroll 4
    for (std::size_t r = 0; r < kGroupRows; ++r) low[r] = high[r] = one;
#pragma GCC unroll 4
    for (std::size_t k = 0; k < d; ++k) {
      const double* coordinate = in.columns + k * in.stride;
      const __m256d yj_low = _mm256_loadu_pd(coordinate + c);
      const __m256d yj_high = _mm256_loadu_pd(coordinate + c + 4);
#pragma GCC unroll 4
      for (std::size_t r = 0; r < kGroupRows; ++r) {
        const __m256d yi = _mm256_set1_pd(coordinate[r0 + r]);
        const __m256d diff_low = _mm256_sub_pd(yi, yj_low);
        const __m256d diff_high = _mm256_sub_pd(yi, yj_high);
        low[r] = _mm256_add_pd(low[r], _mm256_mul_pd(diff_low, diff_low));
        high[r] = _mm256_add_pd(high[r], _mm256_mul_pd(diff_high, diff_high));
      }
    }
    lanes.low = _mm256_add_pd(lanes.low, GroupTerm(low[0], low[1], low[2], low[3]));
    lanes.high = _mm256_add_pd(lanes.high, GroupTerm(high[0], high[1], high[2], high[3]));
  }

  static void AddTerms(const double (&terms)[kLanes], Lanes& lanes) {
    lanes.low = _mm256_add_pd(lanes.low, _mm256_loadu_pd(terms));
    lanes.high = _mm256_add_pd(lanes.high, _mm256_loadu_pd(terms + 4));
  }

  static double Fold(const Lanes& lanes) {
    const __m256d halves = _mm256_add_pd(lanes.low, lanes.high);
    const __m128d quarters = _mm_add_pd(_mm256_castpd256_pd128(halves), _mm256_extractf128_pd(halves, 1));
    return _mm_cvtsd_f64(_mm_add_sd(quarters, _mm_unpackhi_pd(quarters, quarters)));
  }
};

}  // namespace

double SweepRowBlockAvx2(const SweepInput& input, std::size_t block) {
  return SweepRowBlockAnyD<Avx2Path>(input, block);
}

double CrossSumAvx2(const SweepInput& input, std::size_t r0, std::size_t rows, std::size_t column_begin,
                    std::size_t column_end) {
  return CrossSumAnyD<Avx2Path>(input, r0, rows, column_begin, column_end);
}

}  // namespace tsneloss::normaliser::detail
