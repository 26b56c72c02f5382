#include "affinities/exact_tile.hpp"

namespace tsneloss::affinities::detail {

unsigned TileScalar(const TileInput& input, Candidates* const* out, Candidates* const* column_out) {
  unsigned touched = 0;
  for (std::size_t r = 0; r < kGroup; ++r) {
    const auto row_index = input.row + static_cast<std::int32_t>(r);
    float lower[kPanel];
    float upper[kPanel];
    float column_lower[kPanel];
    float column_upper[kPanel];
    unsigned mask = 0;
    unsigned column_mask = 0;
    for (std::size_t l = 0; l < kPanel; ++l) {
      float dot = 0;
      for (std::size_t c = 0; c < input.d; ++c) dot += input.rows[c * kGroup + r] * input.panel[c * kPanel + l];
      const float key = input.norms[l] - (dot + dot);
      lower[l] = key - input.slacks[l];
      upper[l] = key + input.slacks[l];
      if (lower[l] <= input.limits[r]) mask |= 1u << l;
      if (input.column_limits == nullptr) continue;
      const float column_key = input.row_norms[r] - (dot + dot);
      column_lower[l] = column_key - input.row_slacks[r];
      column_upper[l] = column_key + input.row_slacks[r];
      if (column_lower[l] <= input.column_limits[l]) column_mask |= 1u << l;
    }
    const unsigned offered = OfferedLanes(input, row_index);
    Append(*out[r], mask & offered, lower, upper, input.column);
    touched |= (mask & offered) != 0 ? 1u << r : 0;
    if (input.column_limits != nullptr && RowIsPoint(input, row_index)) {
      AppendToColumns(column_out, column_mask & offered, column_lower, column_upper, row_index);
      touched |= (column_mask & offered) << kGroup;
    }
  }
  return touched;
}

}  // namespace tsneloss::affinities::detail
