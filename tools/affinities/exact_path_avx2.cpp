#include <immintrin.h>

#include <algorithm>
#include <bit>

#include "affinities/exact_offers.hpp"
#include "affinities/exact_select.hpp"
#include "affinities/exact_tile.hpp"

namespace tsneloss::affinities::detail {
namespace {

constexpr std::size_t kPass = 4;  // rows per pass: 4 x 2 accumulators, in flight on two fused units

unsigned Mask(__m256 low, __m256 high) {
  return static_cast<unsigned>(_mm256_movemask_ps(low) | (_mm256_movemask_ps(high) << 8));
}

// Rows r0 .. r0 + kPass - 1 against the panel: their doubled dot products stored to
// `twice`, the lanes that pass marked.
void Pass(const TileInput& input, std::size_t r0, DoubledDots& twice, TileBits& rows, TileBits& columns) {
  const std::size_t d = input.d;
  __m256 low[kPass];
  __m256 high[kPass];
#pragma GCC unroll 4
  for (std::size_t r = 0; r < kPass; ++r) low[r] = high[r] = _mm256_setzero_ps();
  for (std::size_t c = 0; c < d; ++c) {
    const __m256 column_low = _mm256_loadu_ps(input.panel + c * kPanel);
    const __m256 column_high = _mm256_loadu_ps(input.panel + c * kPanel + 8);
#pragma GCC unroll 4
    for (std::size_t r = 0; r < kPass; ++r) {
      const __m256 v = _mm256_set1_ps(input.rows[c * kGroup + r0 + r]);
      low[r] = _mm256_fmadd_ps(column_low, v, low[r]);
      high[r] = _mm256_fmadd_ps(column_high, v, high[r]);
    }
  }
  const __m256 norms_low = _mm256_loadu_ps(input.norms), norms_high = _mm256_loadu_ps(input.norms + 8);
  const __m256 slacks_low = _mm256_loadu_ps(input.slacks), slacks_high = _mm256_loadu_ps(input.slacks + 8);
  const bool both = input.column_limits != nullptr;
#pragma GCC unroll 4
  for (std::size_t r = r0; r < r0 + kPass; ++r) {
    const __m256 twice_low = _mm256_add_ps(low[r - r0], low[r - r0]);
    const __m256 twice_high = _mm256_add_ps(high[r - r0], high[r - r0]);
    _mm256_store_ps(twice[r], twice_low);
    _mm256_store_ps(twice[r] + 8, twice_high);
    const auto row = input.row + static_cast<std::int32_t>(r);
    const unsigned offered = OfferedLanes(input, row);
    const __m256 limit = _mm256_set1_ps(input.limits[r]);
    const __m256 lower_low = _mm256_sub_ps(_mm256_sub_ps(norms_low, twice_low), slacks_low);
    const __m256 lower_high = _mm256_sub_ps(_mm256_sub_ps(norms_high, twice_high), slacks_high);
    rows.Mark(r, offered & Mask(_mm256_cmp_ps(lower_low, limit, _CMP_LE_OQ), _mm256_cmp_ps(lower_high, limit, _CMP_LE_OQ)));
    if (!both || !RowIsPoint(input, row)) continue;
    const __m256 norm = _mm256_set1_ps(input.row_norms[r]);
    const __m256 slack = _mm256_set1_ps(input.row_slacks[r]);
    const __m256 column_low = _mm256_sub_ps(_mm256_sub_ps(norm, twice_low), slack);
    const __m256 column_high = _mm256_sub_ps(_mm256_sub_ps(norm, twice_high), slack);
    columns.Mark(r, offered & Mask(_mm256_cmp_ps(column_low, _mm256_loadu_ps(input.column_limits), _CMP_LE_OQ),
                                   _mm256_cmp_ps(column_high, _mm256_loadu_ps(input.column_limits + 8), _CMP_LE_OQ)));
  }
}

}  // namespace

// Fused multiply-adds, as on AVX-512; the offers as exact_offers.hpp hands them over.
unsigned TileAvx2(const TileInput& input, Candidates* const* out, Candidates* const* column_out) {
  alignas(32) DoubledDots twice;
  TileBits rows;
  TileBits columns;
  for (std::size_t r0 = 0; r0 < kGroup; r0 += kPass) Pass(input, r0, twice, rows, columns);
  return OfferMarked(input, twice, rows, columns, out, column_out);
}

namespace {

float Lowest(__m256 v) {
  alignas(32) float lanes[8];
  _mm256_store_ps(lanes, v);
  return *std::min_element(lanes, lanes + 8);
}
float Highest(__m256 v) {
  alignas(32) float lanes[8];
  _mm256_store_ps(lanes, v);
  return *std::max_element(lanes, lanes + 8);
}

}  // namespace

// As CountedBound, eight at a time and the rest one by one: the same float operations
// (the counts and extremes are exact), so the same bound.
float CountedBoundAvx2(const float* upper, std::size_t size, std::size_t k) {
  const std::size_t whole = size / 8 * 8;
  __m256 low = _mm256_set1_ps(upper[0]), high = low;
  for (std::size_t m = 0; m < whole; m += 8) {
    low = _mm256_min_ps(low, _mm256_loadu_ps(upper + m));
    high = _mm256_max_ps(high, _mm256_loadu_ps(upper + m));
  }
  float lowest = Lowest(low), highest = Highest(high);
  for (std::size_t m = whole; m < size; ++m) {
    lowest = std::min(lowest, upper[m]);
    highest = std::max(highest, upper[m]);
  }
  float bottom = lowest, top = highest;
  for (int step = 0; step < kHalvings; ++step) {
    const float middle = 0.5f * bottom + 0.5f * top;
    const __m256 middle_v = _mm256_set1_ps(middle);
    std::size_t under = 0;
    for (std::size_t m = 0; m < whole; m += 8) {
      const int lanes = _mm256_movemask_ps(_mm256_cmp_ps(_mm256_loadu_ps(upper + m), middle_v, _CMP_LE_OQ));
      under += static_cast<std::size_t>(std::popcount(static_cast<unsigned>(lanes)));
    }
    for (std::size_t m = whole; m < size; ++m) under += upper[m] <= middle;
    (under >= k ? top : bottom) = middle;
  }
  const __m256 top_v = _mm256_set1_ps(top), lowest_v = _mm256_set1_ps(lowest);
  __m256 bound = lowest_v;
  for (std::size_t m = 0; m < whole; m += 8) {
    const __m256 v = _mm256_loadu_ps(upper + m);
    bound = _mm256_max_ps(bound, _mm256_blendv_ps(lowest_v, v, _mm256_cmp_ps(v, top_v, _CMP_LE_OQ)));
  }
  float largest = Highest(bound);
  for (std::size_t m = whole; m < size; ++m) largest = std::max(largest, upper[m] <= top ? upper[m] : lowest);
  return largest;
}

}  // namespace tsneloss::affinities::detail
