#include "affinities/exact_tile.hpp"

namespace affinities::detail {

void TileScalar(const TileInput& input, float* keys, std::uint16_t* masks) {
  for (std::size_t r = 0; r < kGroup; ++r) {
    const float* row = input.rows + r * input.d;
    std::uint16_t mask = 0;
    for (std::size_t l = 0; l < kPanel; ++l) {
      float dot = 0;
      for (std::size_t c = 0; c < input.d; ++c) dot += row[c] * input.panel[c * kPanel + l];
      const float key = input.norms[l] - (dot + dot);
      keys[r * kPanel + l] = key;
      if (key - input.slacks[l] <= input.limits[r]) mask = static_cast<std::uint16_t>(mask | (1u << l));
    }
    masks[r] = mask;
  }
}

}  // namespace affinities::detail
