#include "affinities/exact_tile.hpp"

namespace tsneloss::affinities::detail {

void TileScalar(const TileInput& input, Candidates* const* out) {
  for (std::size_t r = 0; r < kGroup; ++r) {
    const float* row = input.rows + r * input.d;
    float lower[kPanel];
    float upper[kPanel];
    unsigned mask = 0;
    for (std::size_t l = 0; l < kPanel; ++l) {
      float dot = 0;
      for (std::size_t c = 0; c < input.d; ++c) dot += row[c] * input.panel[c * kPanel + l];
      const float key = input.norms[l] - (dot + dot);
      lower[l] = key - input.slacks[l];
      upper[l] = key + input.slacks[l];
      if (lower[l] <= input.limits[r]) mask |= 1u << l;
    }
    const unsigned offered = mask & OfferedLanes(input, input.row + static_cast<std::int32_t>(r));
    Append(*out[r], offered, lower, upper, input.column);
  }
}

}  // namespace tsneloss::affinities::detail
