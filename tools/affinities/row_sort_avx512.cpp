#include <immintrin.h>

#include <bit>
#include <cstdint>
#include <limits>

#include "affinities/row_sort.hpp"

namespace tsneloss::affinities::detail {

// An entry's place is the number of entries before it by (index, place in the row),
// a strict order: the same row as a stable sort, without its branches.
void SortRowByIndexAvx512(std::int32_t* indices, float* squared_distances, std::size_t k) {
  alignas(64) std::int32_t index[kRankedRowAtMost];
  alignas(64) float distance[kRankedRowAtMost];
  const std::size_t padded = (k + 15) / 16 * 16;
  for (std::size_t m = 0; m < padded; ++m) {
    // Padding ranks after every entry.
    index[m] = m < k ? indices[m] : std::numeric_limits<std::int32_t>::max();
    distance[m] = m < k ? squared_distances[m] : 0.0f;
  }
  const __m512i lanes = _mm512_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
  for (std::size_t m = 0; m < k; ++m) {
    const __m512i own = _mm512_set1_epi32(index[m]);
    const __m512i place = _mm512_set1_epi32(static_cast<std::int32_t>(m));
    std::size_t rank = 0;
    for (std::size_t j = 0; j < padded; j += 16) {
      const __m512i other = _mm512_load_si512(index + j);
      const __mmask16 earlier = _mm512_cmplt_epi32_mask(_mm512_add_epi32(lanes, _mm512_set1_epi32(static_cast<std::int32_t>(j))), place);
      const __mmask16 before = _mm512_cmplt_epi32_mask(other, own) | _mm512_mask_cmpeq_epi32_mask(earlier, other, own);
      rank += static_cast<std::size_t>(std::popcount(static_cast<unsigned>(before)));
    }
    indices[rank] = index[m];
    squared_distances[rank] = distance[m];
  }
}

}  // namespace tsneloss::affinities::detail
