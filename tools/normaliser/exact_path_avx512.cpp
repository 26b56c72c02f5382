// The exact normaliser's eight lanes in one AVX-512 register. Built with -mavx512f
// (never with fused multiply-add) and only called where the processor has it.
#include <immintrin.h>

#include "normaliser/exact_sweep.hpp"

namespace tsneloss::normaliser::detail {
namespace {

struct Avx512Path {
  using Lanes = __m512d;
  static Lanes Zero() { return _mm512_setzero_pd(); }

  template <std::size_t kD>
  static void Interior(const SweepInput& in, std::size_t r0, std::size_t c, Lanes& lanes) {
    const std::size_t d = kD != 0 ? kD : in.d;
    const __m512d one = _mm512_set1_pd(1.0);
    // a_r = 1 + |y_r - y_j|^2, the 1 added first: ((1 + d0^2) + d1^2) + ...
    __m512d a[kGroupRows];
#pragma GCC unroll 4
    for (std::size_t r = 0; r < kGroupRows; ++r) a[r] = one;
#pragma GCC unroll 4
    for (std::size_t k = 0; k < d; ++k) {
      const double* coordinate = in.columns + k * in.stride;
      const __m512d yj = _mm512_loadu_pd(coordinate + c);
#pragma GCC unroll 4
      for (std::size_t r = 0; r < kGroupRows; ++r) {
        const __m512d diff = _mm512_sub_pd(_mm512_set1_pd(coordinate[r0 + r]), yj);
        a[r] = _mm512_add_pd(a[r], _mm512_mul_pd(diff, diff));
      }
    }
    const __m512d a0 = a[0], a1 = a[1], a2 = a[2], a3 = a[3];
    const __m512d p01 = _mm512_mul_pd(a0, a1);
    const __m512d p23 = _mm512_mul_pd(a2, a3);
    const __m512d denominator = _mm512_mul_pd(p01, p23);
    const __m512d numerator = _mm512_add_pd(_mm512_mul_pd(_mm512_add_pd(a0, a1), p23),
                                            _mm512_mul_pd(_mm512_add_pd(a2, a3), p01));
    __m512d term = _mm512_div_pd(numerator, denominator);
    const __mmask8 fraction_ok = _mm512_cmp_pd_mask(denominator, _mm512_set1_pd(kFractionLimit), _CMP_LT_OQ);
    if (fraction_ok != 0xFF) {
      const __m512d apart = _mm512_add_pd(_mm512_add_pd(_mm512_div_pd(one, a0), _mm512_div_pd(one, a1)),
                                          _mm512_add_pd(_mm512_div_pd(one, a2), _mm512_div_pd(one, a3)));
      term = _mm512_mask_blend_pd(fraction_ok, apart, term);
    }
    lanes = _mm512_add_pd(lanes, term);
  }

  static void AddTerms(const double (&terms)[kLanes], Lanes& lanes) {
    lanes = _mm512_add_pd(lanes, _mm512_loadu_pd(terms));
  }

  // Once per kColumnBlock columns: through memory, in the order of the other paths.
  static double Fold(const Lanes& lanes) {
    double v[kLanes];
    _mm512_storeu_pd(v, lanes);
    return ((v[0] + v[4]) + (v[2] + v[6])) + ((v[1] + v[5]) + (v[3] + v[7]));
  }
};

}  // namespace

double SweepRowBlockAvx512(const SweepInput& input, std::size_t block) {
  return SweepRowBlockAnyD<Avx512Path>(input, block);
}

double CrossSumAvx512(const SweepInput& input, std::size_t r0, std::size_t rows, std::size_t column_begin,
                      std::size_t column_end) {
  return CrossSumAnyD<Avx512Path>(input, r0, rows, column_begin, column_end);
}

}  // namespace tsneloss::normaliser::detail
