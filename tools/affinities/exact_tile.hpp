// The candidate pass of the exact neighbour search: one tile of approximate squared
// distances in float, and the instruction-set paths that compute it. The paths may
// differ in the last bits of a tile; the lists never do, since every candidate is
// measured again exactly in double.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>

#include "affinities/neighbours.hpp"
#include "support/instruction_set.hpp"

namespace tsneloss::affinities::detail {

// Columns packed per panel: coordinate c of the panel's column l at panel[c * kPanel + l].
inline constexpr std::size_t kPanel = 16;
// Rows per tile: their coordinates are broadcast against one panel. Sixteen sums in
// flight cover the latency of two fused multiply-add units. The rows are a panel too,
// so that one pointer reaches all sixteen.
inline constexpr std::size_t kGroup = 16;
static_assert(kGroup == kPanel);
// A tile appends at most kPanel offers to a row and kGroup to a column: the room below.

// One row's kept columns, appended to by the kernels: key - w_j and key + w_j as
// float rounds them, and the column's index. There is room for kPanel entries past
// `size` (a vector store may write a whole panel).
struct Candidates {
  float* lower = nullptr;
  float* upper = nullptr;
  std::int32_t* index = nullptr;
  std::size_t size = 0;
};

struct TileInput {
  const float* rows = nullptr;    // kGroup rows packed as a panel: coordinate c of row r at rows[c * kGroup + r]
  const float* panel = nullptr;   // d * kPanel coordinates, as above
  const float* norms = nullptr;   // kPanel squared norms of the columns (+inf past the last point)
  const float* slacks = nullptr;  // kPanel error allowances of the columns, each >= 0
  const float* limits = nullptr;  // kGroup thresholds of the rows
  // The same for the rows seen as columns, off the triangle's diagonal only.
  const float* row_norms = nullptr;      // kGroup
  const float* row_slacks = nullptr;     // kGroup
  const float* column_limits = nullptr;  // kPanel; null: only the rows are offered to
  std::size_t d = 0;
  std::int32_t row = 0;     // the index of the first row
  std::int32_t column = 0;  // the index of column 0
  std::int32_t n = 0;       // columns from n on are past the last point
};

// With key_rl = norms[l] - 2 * (row r . column l), the dot product summed in float
// over the coordinates in order (fused or not: either stays within the bound), appends
// column l to out[r] when key_rl - slacks[l] <= limits[r], unless it is past the last
// point or row r itself. Where column_limits is given, also appends row r to
// column_out[l] when row_norms[r] - 2 * (row r . column l) - row_slacks[r] <=
// column_limits[l], under the same exceptions: each pair, measured once, is offered
// to both its points. Returns which rows (bit r) and columns (bit 16 + l) were
// offered anything, so that only those need settling.
using TileKernel = unsigned (*)(const TileInput& input, Candidates* const* out, Candidates* const* column_out);

// The scalar way to append the columns of the set bits of `mask` to `out`.
inline void Append(Candidates& out, unsigned mask, const float* lower, const float* upper, std::int32_t column) {
  std::size_t size = out.size;
  for (; mask != 0; mask &= mask - 1) {
    const int lane = std::countr_zero(mask);
    out.lower[size] = lower[lane];
    out.upper[size] = upper[lane];
    out.index[size] = column + lane;
    ++size;
  }
  out.size = size;
}

// The scalar way to append row `row` to the columns of the set bits of `mask`.
inline void AppendToColumns(Candidates* const* columns, unsigned mask, const float* lower, const float* upper,
                            std::int32_t row) {
  for (; mask != 0; mask &= mask - 1) {
    const int lane = std::countr_zero(mask);
    Candidates& out = *columns[lane];
    out.lower[out.size] = lower[lane];
    out.upper[out.size] = upper[lane];
    out.index[out.size] = row;
    ++out.size;
  }
}

// The lanes of a panel that may be appended for row `row`: before n and not the row itself.
inline unsigned OfferedLanes(const TileInput& input, std::int32_t row) {
  const std::int32_t past = input.n - input.column;
  unsigned lanes = past >= static_cast<std::int32_t>(kPanel) ? 0xffffu : (1u << past) - 1;
  const std::int32_t own = row - input.column;
  if (own >= 0 && own < static_cast<std::int32_t>(kPanel)) lanes &= ~(1u << own);
  return lanes;
}

// Whether row `row` is a point, so that it may be offered to the columns.
inline bool RowIsPoint(const TileInput& input, std::int32_t row) { return row < input.n; }

unsigned TileScalar(const TileInput& input, Candidates* const* out, Candidates* const* column_out);
unsigned TileAvx2(const TileInput& input, Candidates* const* out, Candidates* const* column_out);
unsigned TileAvx512(const TileInput& input, Candidates* const* out, Candidates* const* column_out);

// The kernel of `set` (kAuto: the widest available). Throws std::invalid_argument
// where the set is not available.
TileKernel KernelFor(support::InstructionSet set);

// Wall-clock seconds of the search's steps, for benchmarks.
struct SearchSteps {
  double candidates = 0;  // the data prepared, the caps guessed and the candidate pass
  double measuring = 0;   // the candidates measured again, and the selection
};

// The order the points are measured again in: by index, or breadth first over the
// candidates (rows measured for one point still cached for the next), the latter
// only where the points outgrow the cache (kBySize).
enum class MeasuringOrder { kBySize, kIndex, kBreadthFirst };

// How the caps are planned (exact_caps.hpp).
enum class CapChoice { kBySize, kNone, kGiven };

// What tests and benchmarks set and read of one search.
struct SearchProbe {
  MeasuringOrder order = MeasuringOrder::kBySize;
  CapChoice caps = CapChoice::kBySize;
  std::size_t cap_sample = 0;  // for kGiven: the plan's sample and rank
  std::size_t cap_rank = 0;
  std::size_t measured_by_all = 0;  // out: points measured against all others
  std::size_t caps_missed = 0;      // out: of those, points whose cap was guessed too low
  SearchSteps steps;                // out
};

// ExactNeighbours on a forced path, for tests and benchmarks, with `probe`'s choices
// if given and its counts and times filled in.
template <typename Real>
NeighbourLists ExactNeighboursOnPath(const Real* x, std::size_t n, std::size_t d, std::size_t k,
                                     const SearchSettings& settings, support::InstructionSet path,
                                     SearchProbe* probe = nullptr);

}  // namespace tsneloss::affinities::detail
