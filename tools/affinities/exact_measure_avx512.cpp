// ExactSquaredDistances with eight candidates to a vector: each lane sums its own
// squares in the coordinates' order, with a multiply and an add rounded apart, as the
// plain loop does, so the bits are the same; eight rows' coordinates are loaded eight
// at a time and transposed, so that no sum waits on the one before it.
#include <immintrin.h>

#include <algorithm>
#include <cstdint>

#include "affinities/exact_distances.hpp"
#include "affinities/exact_measure_groups.hpp"

namespace tsneloss::affinities::detail {
namespace {

constexpr std::size_t kLanes = 8;

// Pairs interleaved and 128-bit quarters shuffled, in their masked forms with every
// lane taken: GCC warns of the plain forms' undefined source.
__m512d LowPairs(__m512d a, __m512d b) { return _mm512_mask_unpacklo_pd(a, 0xff, a, b); }
__m512d HighPairs(__m512d a, __m512d b) { return _mm512_mask_unpackhi_pd(a, 0xff, a, b); }
__m512d EvenQuarters(__m512d a, __m512d b) { return _mm512_mask_shuffle_f64x2(a, 0xff, a, b, 0x88); }
__m512d OddQuarters(__m512d a, __m512d b) { return _mm512_mask_shuffle_f64x2(a, 0xff, a, b, 0xdd); }

// v[r] lane c becomes v[c] lane r.
[[gnu::always_inline]] inline void Transpose(__m512d (&v)[kLanes]) {
  __m512d t[kLanes];
#pragma GCC unroll 4
  for (std::size_t r = 0; r < kLanes; r += 2) {
    t[r] = LowPairs(v[r], v[r + 1]);       // coordinates 0, 2, 4, 6 of rows r, r + 1
    t[r + 1] = HighPairs(v[r], v[r + 1]);  // 1, 3, 5, 7
  }
  __m512d u[kLanes];  // u[4h + e]: of rows 4h .. 4h + 3, coordinates e and e + 4 (e = 0 .. 3)
#pragma GCC unroll 2
  for (std::size_t h = 0; h < 2; ++h) {
    u[4 * h] = EvenQuarters(t[4 * h], t[4 * h + 2]);
    u[4 * h + 2] = OddQuarters(t[4 * h], t[4 * h + 2]);
    u[4 * h + 1] = EvenQuarters(t[4 * h + 1], t[4 * h + 3]);
    u[4 * h + 3] = OddQuarters(t[4 * h + 1], t[4 * h + 3]);
  }
#pragma GCC unroll 4
  for (std::size_t e = 0; e < 4; ++e) {
    v[e] = EvenQuarters(u[e], u[4 + e]);
    v[e + 4] = OddQuarters(u[e], u[4 + e]);
  }
}

[[gnu::always_inline]] inline __m512d Load(const double* p, __mmask8 lanes) { return _mm512_maskz_loadu_pd(lanes, p); }
[[gnu::always_inline]] inline __m512d Load(const float* p, __mmask8 lanes) {
  const __m512d wide = _mm512_castps_pd(_mm512_maskz_loadu_ps(static_cast<__mmask16>(lanes), p));
  const __m256 low = _mm256_castpd_ps(_mm512_mask_extractf64x4_pd(_mm256_setzero_pd(), 0xf, wide, 0));
  return _mm512_maskz_cvtps_pd(0xff, low);  // exact
}

// Adds to `sums` the squares of coordinates c0 .. c0 + width - 1 of eight rows against xi.
template <typename Real>
[[gnu::always_inline]] inline void AddBlock(const Real* xi, const Real* const (&rows)[kLanes], std::size_t c0,
                                            std::size_t width, __m512d& sums) {
  const auto lanes = static_cast<__mmask8>((1u << width) - 1);
  __m512d v[kLanes];
#pragma GCC unroll 8
  for (std::size_t r = 0; r < kLanes; ++r) v[r] = Load(rows[r] + c0, lanes);
  Transpose(v);
#pragma GCC unroll 8
  for (std::size_t c = 0; c < kLanes; ++c) {
    if (c == width) break;
    const __m512d t = _mm512_sub_pd(_mm512_set1_pd(static_cast<double>(xi[c0 + c])), v[c]);
    sums = _mm512_add_pd(sums, _mm512_mul_pd(t, t));
  }
}

// The sums of eight rows against xi.
template <typename Real>
__m512d SumsOfEight(const Real* xi, const Real* const (&rows)[kLanes], std::size_t d) {
  __m512d sums = _mm512_setzero_pd();
  std::size_t c0 = 0;
  for (; c0 + kLanes <= d; c0 += kLanes) AddBlock(xi, rows, c0, kLanes, sums);
  if (c0 < d) AddBlock(xi, rows, c0, d - c0, sums);
  return sums;
}

}  // namespace

template <typename Real>
void ExactSquaredDistancesAvx512(const Real* x, std::size_t d, std::size_t i, const std::int32_t* js,
                                 std::size_t count, double* out) {
  const Real* xi = x + i * d;
  MeasureInGroups<kLanes>(x, d, js, count, out, [&](const Real* const (&rows)[kLanes], double* to, std::size_t width) {
    _mm512_mask_storeu_pd(to, static_cast<__mmask8>((1u << width) - 1), SumsOfEight(xi, rows, d));
  });
}

template void ExactSquaredDistancesAvx512(const double*, std::size_t, std::size_t, const std::int32_t*, std::size_t,
                                          double*);
template void ExactSquaredDistancesAvx512(const float*, std::size_t, std::size_t, const std::int32_t*, std::size_t,
                                          double*);

}  // namespace tsneloss::affinities::detail
