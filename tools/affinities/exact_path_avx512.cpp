#include <immintrin.h>

#include <bit>
#include <cstdint>
#include <limits>

#include "affinities/exact_offers.hpp"
#include "affinities/exact_select.hpp"
#include "affinities/exact_tile.hpp"

namespace tsneloss::affinities::detail {

namespace {

using Sums = __m512[kGroup];

// One vector per row holds the whole panel; the sixteen accumulators stay in registers.
// Fused multiply-adds: each rounds once where the bound allows for two.
inline void Products(const TileInput& input, Sums& acc) {
  const std::size_t d = input.d;
#pragma GCC unroll 16
  for (std::size_t r = 0; r < kGroup; ++r) acc[r] = _mm512_setzero_ps();
  for (std::size_t c = 0; c < d; ++c) {
    const __m512 column = _mm512_loadu_ps(input.panel + c * kPanel);
#pragma GCC unroll 16
    for (std::size_t r = 0; r < kGroup; ++r) {
      acc[r] = _mm512_fmadd_ps(column, _mm512_set1_ps(input.rows[c * kGroup + r]), acc[r]);
    }
  }
}

// The offers of a tile. Inside the points and off the diagonal (most tiles) no lane
// is masked; elsewhere lanes past the last point, a row's own column and rows past the
// last point are. The compares are the same either way.
template <bool kInside>
unsigned Offer(const TileInput& input, const Sums& acc, Candidates* const* out, Candidates* const* column_out) {
  const __m512 norms = _mm512_loadu_ps(input.norms);
  const __m512 slacks = _mm512_loadu_ps(input.slacks);
  const bool both = kInside || input.column_limits != nullptr;
  // Off the diagonal no row is a column; there a row past the last point offers nothing.
  const __m512 column_limits =
      both ? _mm512_loadu_ps(input.column_limits) : _mm512_set1_ps(-std::numeric_limits<float>::infinity());
  const __m512i iota = _mm512_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
  const __m512i lanes = _mm512_add_epi32(_mm512_set1_epi32(input.column), iota);
  __mmask16 valid = 0xffff;
  unsigned points = 0xffff;
  if constexpr (!kInside) {
    valid = _mm512_cmplt_epi32_mask(lanes, _mm512_set1_epi32(input.n));
    points = static_cast<unsigned>(
        _mm512_cmplt_epi32_mask(_mm512_add_epi32(_mm512_set1_epi32(input.row), iota), _mm512_set1_epi32(input.n)));
  }
  alignas(64) DoubledDots twice;
  TileBits row_bits;
  TileBits column_bits;
#pragma GCC unroll 16
  for (std::size_t r = 0; r < kGroup; ++r) {
    const __m512 doubled = _mm512_add_ps(acc[r], acc[r]);
    _mm512_store_ps(twice[r], doubled);
    const __m512 lower = _mm512_sub_ps(_mm512_sub_ps(norms, doubled), slacks);
    const __m512 limit = _mm512_set1_ps(input.limits[r]);
    if constexpr (kInside) {
      row_bits.Mark(r, _mm512_cmp_ps_mask(lower, limit, _CMP_LE_OQ));
    } else {
      const __mmask16 other = _mm512_mask_cmpneq_epi32_mask(valid, lanes, _mm512_set1_epi32(input.row + static_cast<std::int32_t>(r)));
      row_bits.Mark(r, _mm512_mask_cmp_ps_mask(other, lower, limit, _CMP_LE_OQ));
    }
    if (!both) continue;
    const __m512 column_key = _mm512_sub_ps(_mm512_set1_ps(input.row_norms[r]), doubled);
    const __m512 column_lower = _mm512_sub_ps(column_key, _mm512_set1_ps(input.row_slacks[r]));
    if constexpr (kInside) {
      column_bits.Mark(r, _mm512_cmp_ps_mask(column_lower, column_limits, _CMP_LE_OQ));
    } else {
      const auto offering = static_cast<__mmask16>(valid & (0u - ((points >> r) & 1u)));
      column_bits.Mark(r, _mm512_mask_cmp_ps_mask(offering, column_lower, column_limits, _CMP_LE_OQ));
    }
  }
  return OfferMarked(input, twice, row_bits, column_bits, out, column_out);
}

}  // namespace

// The offers as exact_offers.hpp hands them over.
unsigned TileAvx512(const TileInput& input, Candidates* const* out, Candidates* const* column_out) {
  Sums acc;
  Products(input, acc);
  const bool inside = input.column_limits != nullptr && input.row <= input.n - static_cast<std::int32_t>(kGroup) &&
                      input.column <= input.n - static_cast<std::int32_t>(kPanel);
  return inside ? Offer<true>(input, acc, out, column_out) : Offer<false>(input, acc, out, column_out);
}

}  // namespace tsneloss::affinities::detail

namespace tsneloss::affinities::detail {
namespace {

__mmask16 Lanes(std::size_t left) { return static_cast<__mmask16>(left >= 16 ? 0xffffu : (1u << left) - 1); }

// The lanes' extremes, by hand: GCC's reductions warn of an undefined temporary.
float Lowest(__m512 v) {
  alignas(64) float lanes[16];
  _mm512_store_ps(lanes, v);
  return *std::min_element(lanes, lanes + 16);
}
float Highest(__m512 v) {
  alignas(64) float lanes[16];
  _mm512_store_ps(lanes, v);
  return *std::max_element(lanes, lanes + 16);
}

}  // namespace

// As CountedBound, sixteen at a time: the same float operations, so the same bound.
float CountedBoundAvx512(const float* upper, std::size_t size, std::size_t k) {
  const __m512 first = _mm512_set1_ps(upper[0]);
  __m512 low = first, high = first;
  for (std::size_t m = 0; m < size; m += 16) {
    // Masked forms throughout: GCC warns of the plain forms' undefined source.
    const __m512 v = _mm512_mask_loadu_ps(first, Lanes(size - m), upper + m);
    low = _mm512_mask_min_ps(low, 0xffff, low, v);
    high = _mm512_mask_max_ps(high, 0xffff, high, v);
  }
  const float lowest = Lowest(low);
  float bottom = lowest, top = Highest(high);
  for (int step = 0; step < kHalvings; ++step) {
    const float middle = 0.5f * bottom + 0.5f * top;
    const __m512 middle_v = _mm512_set1_ps(middle);
    std::size_t under = 0;
    for (std::size_t m = 0; m < size; m += 16) {
      const __mmask16 lanes = Lanes(size - m);
      const __m512 v = _mm512_maskz_loadu_ps(lanes, upper + m);
      under += static_cast<std::size_t>(std::popcount(static_cast<unsigned>(_mm512_mask_cmp_ps_mask(lanes, v, middle_v, _CMP_LE_OQ))));
    }
    (under >= k ? top : bottom) = middle;
  }
  const __m512 top_v = _mm512_set1_ps(top);
  __m512 bound = _mm512_set1_ps(lowest);
  for (std::size_t m = 0; m < size; m += 16) {
    const __mmask16 lanes = Lanes(size - m);
    const __m512 v = _mm512_maskz_loadu_ps(lanes, upper + m);
    bound = _mm512_mask_max_ps(bound, _mm512_mask_cmp_ps_mask(lanes, v, top_v, _CMP_LE_OQ), bound, v);
  }
  return Highest(bound);
}

// As Prune: the kept lanes compressed in registers, stored under a mask.
void PruneAvx512(Candidates& candidates, float limit) {
  const __m512 limit_v = _mm512_set1_ps(limit);
  std::size_t kept = 0;
  for (std::size_t m = 0; m < candidates.size; m += 16) {
    const __mmask16 lanes = Lanes(candidates.size - m);
    const __m512 lower = _mm512_maskz_loadu_ps(lanes, candidates.lower + m);
    const __m512 upper = _mm512_maskz_loadu_ps(lanes, candidates.upper + m);
    const __m512i index = _mm512_maskz_loadu_epi32(lanes, candidates.index + m);
    const __mmask16 keep = _mm512_mask_cmp_ps_mask(lanes, lower, limit_v, _CMP_LE_OQ);
    const auto count = static_cast<unsigned>(std::popcount(static_cast<unsigned>(keep)));
    const auto stored = static_cast<__mmask16>((1u << count) - 1);
    _mm512_mask_storeu_ps(candidates.lower + kept, stored, _mm512_maskz_compress_ps(keep, lower));
    _mm512_mask_storeu_ps(candidates.upper + kept, stored, _mm512_maskz_compress_ps(keep, upper));
    _mm512_mask_storeu_epi32(candidates.index + kept, stored, _mm512_maskz_compress_epi32(keep, index));
    kept += count;
  }
  candidates.size = kept;
}

}  // namespace tsneloss::affinities::detail

namespace tsneloss::affinities::detail {
namespace {

constexpr std::size_t kRankedAtMost = 512;  // beyond, the counts (size^2) would cost more than a sort

}  // namespace

// The rank of pair m is the number of pairs before it by (distance, index), a strict
// order: the ranks below k place the same k pairs as a sort, without its branches.
void TakeNearestOfAvx512(const double* distances, const std::int32_t* indices, std::size_t size, std::size_t k,
                         std::int32_t* nearest, float* nearest_distances, std::vector<Ranked>& scratch) {
  if (size > kRankedAtMost) {
    TakeNearestOf(distances, indices, size, k, nearest, nearest_distances, scratch);
    return;
  }
  alignas(64) double distance[kRankedAtMost];
  alignas(64) long long index[kRankedAtMost];
  const std::size_t padded = (size + 7) / 8 * 8;
  for (std::size_t m = 0; m < padded; ++m) {
    // Padding sorts after every pair.
    distance[m] = m < size ? distances[m] : std::numeric_limits<double>::infinity();
    index[m] = m < size ? indices[m] : std::numeric_limits<long long>::max();
  }
  for (std::size_t m = 0; m < size; ++m) {
    const __m512d own_distance = _mm512_set1_pd(distance[m]);
    const __m512i own_index = _mm512_set1_epi64(index[m]);
    std::size_t rank = 0;
    for (std::size_t j = 0; j < padded; j += 8) {
      const __m512d other = _mm512_load_pd(distance + j);
      const __mmask8 closer = _mm512_cmp_pd_mask(other, own_distance, _CMP_LT_OQ);
      const __mmask8 level = _mm512_cmp_pd_mask(other, own_distance, _CMP_EQ_OQ);
      const __mmask8 lower = _mm512_cmplt_epi64_mask(_mm512_load_si512(index + j), own_index);
      rank += static_cast<std::size_t>(std::popcount(static_cast<unsigned>(closer | (level & lower))));
    }
    if (rank < k) {
      nearest[rank] = indices[m];
      nearest_distances[rank] = static_cast<float>(distances[m]);
    }
  }
}

}  // namespace tsneloss::affinities::detail
