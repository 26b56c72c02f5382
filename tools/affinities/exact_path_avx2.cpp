#include <immintrin.h>

#include "affinities/exact_tile.hpp"

namespace tsneloss::affinities::detail {
namespace {

constexpr std::size_t kPass = 4;  // rows per pass: 4 x 2 accumulators fit the 16 registers

// The bounds norm - 2 dot -/+ slack of a panel's 16 lanes, stored to `lower` and
// `upper`; the lanes whose lower bound is at or under their limit.
inline unsigned Bounds(__m256 norm_low, __m256 norm_high, __m256 dot_low, __m256 dot_high, __m256 slack_low,
                       __m256 slack_high, __m256 limit_low, __m256 limit_high, float* lower, float* upper) {
  const __m256 key_low = _mm256_sub_ps(norm_low, _mm256_add_ps(dot_low, dot_low));
  const __m256 key_high = _mm256_sub_ps(norm_high, _mm256_add_ps(dot_high, dot_high));
  const __m256 lower_low = _mm256_sub_ps(key_low, slack_low);
  const __m256 lower_high = _mm256_sub_ps(key_high, slack_high);
  _mm256_store_ps(lower, lower_low);
  _mm256_store_ps(lower + 8, lower_high);
  _mm256_store_ps(upper, _mm256_add_ps(key_low, slack_low));
  _mm256_store_ps(upper + 8, _mm256_add_ps(key_high, slack_high));
  const int bits_low = _mm256_movemask_ps(_mm256_cmp_ps(lower_low, limit_low, _CMP_LE_OQ));
  const int bits_high = _mm256_movemask_ps(_mm256_cmp_ps(lower_high, limit_high, _CMP_LE_OQ));
  return static_cast<unsigned>(bits_low | (bits_high << 8));
}

// Row r's offers of the panel to the columns, for the tiles off the diagonal.
void OfferToColumns(const TileInput& input, std::size_t r, __m256 dot_low, __m256 dot_high, Candidates* const* column_out) {
  const auto row = input.row + static_cast<std::int32_t>(r);
  if (!RowIsPoint(input, row)) return;
  const __m256 norm = _mm256_set1_ps(input.row_norms[r]);
  const __m256 slack = _mm256_set1_ps(input.row_slacks[r]);
  alignas(32) float lower[kPanel];
  alignas(32) float upper[kPanel];
  const unsigned mask = Bounds(norm, norm, dot_low, dot_high, slack, slack, _mm256_loadu_ps(input.column_limits),
                               _mm256_loadu_ps(input.column_limits + 8), lower, upper);
  if (mask == 0) return;
  AppendToColumns(column_out, mask & OfferedLanes(input, row), lower, upper, row);
}

void Pass(const TileInput& input, std::size_t r0, Candidates* const* out, Candidates* const* column_out) {
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
      low[r] = _mm256_add_ps(low[r], _mm256_mul_ps(column_low, v));
      high[r] = _mm256_add_ps(high[r], _mm256_mul_ps(column_high, v));
    }
  }
  const __m256 norms_low = _mm256_loadu_ps(input.norms);
  const __m256 norms_high = _mm256_loadu_ps(input.norms + 8);
  const __m256 slacks_low = _mm256_loadu_ps(input.slacks);
  const __m256 slacks_high = _mm256_loadu_ps(input.slacks + 8);
#pragma GCC unroll 4
  for (std::size_t r = 0; r < kPass; ++r) {
    if (input.column_limits != nullptr) OfferToColumns(input, r0 + r, low[r], high[r], column_out);
    const __m256 limit = _mm256_set1_ps(input.limits[r0 + r]);
    alignas(32) float lower[kPanel];
    alignas(32) float upper[kPanel];
    const unsigned mask = Bounds(norms_low, norms_high, low[r], high[r], slacks_low, slacks_high, limit, limit, lower,
                                 upper);
    if (mask == 0) continue;
    const auto row = input.row + static_cast<std::int32_t>(r0 + r);
    Append(*out[r0 + r], mask & OfferedLanes(input, row), lower, upper, input.column);
  }
}

}  // namespace

void TileAvx2(const TileInput& input, Candidates* const* out, Candidates* const* column_out) {
  for (std::size_t r0 = 0; r0 < kGroup; r0 += kPass) Pass(input, r0, out, column_out);
}

}  // namespace tsneloss::affinities::detail
