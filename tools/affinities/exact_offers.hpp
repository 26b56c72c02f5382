// How the vector tiles hand over their offers: the vector compares mark the lanes
// that pass, and the few that do (some one in forty at random) are appended one by
// one from the tile's doubled dot products, kept aside, with the same float
// operations as the compares, so no branch waits on a whole vector's mask.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>

#include "affinities/exact_tile.hpp"

namespace tsneloss::affinities::detail {

// A tile's passing lanes, four rows to a word: bit 16 (r % 4) + l of word r / 4 for
// row r and column l.
struct TileBits {
  std::uint64_t words[kGroup / 4] = {};

  void Mark(std::size_t r, unsigned lanes) { words[r / 4] |= static_cast<std::uint64_t>(lanes) << (16 * (r % 4)); }

  // Bit r for each row with a lane set.
  unsigned Rows() const {
    unsigned rows = 0;
    for (std::size_t word = 0; word < kGroup / 4; ++word) {
      for (std::size_t quarter = 0; quarter < 4; ++quarter) {
        rows |= ((words[word] >> (16 * quarter)) & 0xffffu) != 0 ? 1u << (4 * word + quarter) : 0;
      }
    }
    return rows;
  }
  // Bit l for each column with a lane set in any row.
  unsigned Columns() const {
    std::uint64_t all = 0;
    for (const std::uint64_t word : words) all |= word;
    return static_cast<unsigned>((all | all >> 16 | all >> 32 | all >> 48) & 0xffffu);
  }

  // Calls take(r, l) for each set bit, rows in order and each row's columns in order.
  template <typename Take>
  void ForEach(const Take& take) const {
    for (std::size_t word = 0; word < kGroup / 4; ++word) {
      for (std::uint64_t left = words[word]; left != 0; left &= left - 1) {
        const auto bit = static_cast<std::size_t>(std::countr_zero(left));
        take(4 * word + bit / 16, bit % 16);
      }
    }
  }
};

// twice[r][l] = 2 (row r . column l), as float rounds the doubling.
using DoubledDots = float[kGroup][kPanel];

inline void Push(Candidates& out, float key, float slack, std::int32_t index) {
  const std::size_t size = out.size;
  out.lower[size] = key - slack;
  out.upper[size] = key + slack;
  out.index[size] = index;
  out.size = size + 1;
}

// Appends the marked columns to their rows and (off the diagonal) the marked rows to
// their columns: key norm - twice, bounds key -/+ slack, as the kernels' compares.
// Returns the rows and columns offered to, as a TileKernel does.
inline unsigned OfferMarked(const TileInput& input, const DoubledDots& twice, const TileBits& rows,
                        const TileBits& columns, Candidates* const* out, Candidates* const* column_out) {
  rows.ForEach([&](std::size_t r, std::size_t l) {
    Push(*out[r], input.norms[l] - twice[r][l], input.slacks[l], input.column + static_cast<std::int32_t>(l));
  });
  if (input.column_limits == nullptr) return rows.Rows();
  columns.ForEach([&](std::size_t r, std::size_t l) {
    Push(*column_out[l], input.row_norms[r] - twice[r][l], input.row_slacks[r], input.row + static_cast<std::int32_t>(r));
  });
  return rows.Rows() | columns.Columns() << kGroup;
}

}  // namespace tsneloss::affinities::detail
