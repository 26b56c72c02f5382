// ExactSquaredDistances with four candidates to a vector, as exact_measure_avx512.cpp
// does with eight: each lane sums its own squares in the coordinates' order, a
// multiply and an add rounded apart, so the bits are the plain loop's.
#include <immintrin.h>

#include <algorithm>
#include <cstdint>

#include "affinities/exact_distances.hpp"
#include "affinities/exact_measure_groups.hpp"

namespace tsneloss::affinities::detail {
namespace {

constexpr std::size_t kLanes = 4;

// v[r] lane c becomes v[c] lane r.
[[gnu::always_inline]] inline void Transpose(__m256d (&v)[kLanes]) {
  const __m256d t0 = _mm256_unpacklo_pd(v[0], v[1]), t1 = _mm256_unpackhi_pd(v[0], v[1]);
  const __m256d t2 = _mm256_unpacklo_pd(v[2], v[3]), t3 = _mm256_unpackhi_pd(v[2], v[3]);
  v[0] = _mm256_permute2f128_pd(t0, t2, 0x20);
  v[1] = _mm256_permute2f128_pd(t1, t3, 0x20);
  v[2] = _mm256_permute2f128_pd(t0, t2, 0x31);
  v[3] = _mm256_permute2f128_pd(t1, t3, 0x31);
}

// The first `width` (1 .. 4) coordinates at p, the rest 0.
[[gnu::always_inline]] inline __m256d Load(const double* p, std::size_t width) {
  if (width == kLanes) return _mm256_loadu_pd(p);
  const __m256i lanes = _mm256_cmpgt_epi64(_mm256_set1_epi64x(static_cast<long long>(width)), _mm256_setr_epi64x(0, 1, 2, 3));
  return _mm256_maskload_pd(p, lanes);
}
[[gnu::always_inline]] inline __m256d Load(const float* p, std::size_t width) {
  if (width == kLanes) return _mm256_cvtps_pd(_mm_loadu_ps(p));  // exact
  const __m128i lanes = _mm_cmpgt_epi32(_mm_set1_epi32(static_cast<int>(width)), _mm_setr_epi32(0, 1, 2, 3));
  return _mm256_cvtps_pd(_mm_maskload_ps(p, lanes));
}

// Adds to `sums` the squares of coordinates c0 .. c0 + width - 1 of four rows against xi.
template <typename Real>
[[gnu::always_inline]] inline void AddBlock(const Real* xi, const Real* const (&rows)[kLanes], std::size_t c0,
                                            std::size_t width, __m256d& sums) {
  __m256d v[kLanes];
#pragma GCC unroll 4
  for (std::size_t r = 0; r < kLanes; ++r) v[r] = Load(rows[r] + c0, width);
  Transpose(v);
#pragma GCC unroll 4
  for (std::size_t c = 0; c < kLanes; ++c) {
    if (c == width) break;
    const __m256d t = _mm256_sub_pd(_mm256_set1_pd(static_cast<double>(xi[c0 + c])), v[c]);
    sums = _mm256_add_pd(sums, _mm256_mul_pd(t, t));
  }
}

template <typename Real>
__m256d SumsOfFour(const Real* xi, const Real* const (&rows)[kLanes], std::size_t d) {
  __m256d sums = _mm256_setzero_pd();
  std::size_t c0 = 0;
  for (; c0 + kLanes <= d; c0 += kLanes) AddBlock(xi, rows, c0, kLanes, sums);
  if (c0 < d) AddBlock(xi, rows, c0, d - c0, sums);
  return sums;
}

}  // namespace

template <typename Real>
void ExactSquaredDistancesAvx2(const Real* x, std::size_t d, std::size_t i, const std::int32_t* js,
                               std::size_t count, double* out) {
  const Real* xi = x + i * d;
  MeasureInGroups<kLanes>(x, d, js, count, out, [&](const Real* const (&rows)[kLanes], double* to, std::size_t width) {
    alignas(32) double sums[kLanes];
    _mm256_store_pd(sums, SumsOfFour(xi, rows, d));
    std::copy(sums, sums + width, to);
  });
}

template void ExactSquaredDistancesAvx2(const double*, std::size_t, std::size_t, const std::int32_t*, std::size_t,
                                        double*);
template void ExactSquaredDistancesAvx2(const float*, std::size_t, std::size_t, const std::int32_t*, std::size_t,
                                        double*);

}  // namespace tsneloss::affinities::detail
