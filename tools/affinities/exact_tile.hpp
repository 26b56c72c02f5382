// The candidate pass of the exact neighbour search: one tile of approximate squared
// distances in float, and the instruction-set paths that compute it. The paths may
// differ in the last bits of a tile; the lists never do, since every candidate is
// measured again exactly in double.
#pragma once

#include <cstddef>
#include <cstdint>

#include "affinities/neighbours.hpp"

namespace affinities::detail {

// Columns packed per panel: coordinate c of the panel's column l at panel[c * kPanel + l].
inline constexpr std::size_t kPanel = 16;
// Rows per tile: their coordinates are broadcast against one panel.
inline constexpr std::size_t kGroup = 8;

struct TileInput {
  const float* rows = nullptr;    // kGroup rows of d coordinates, row after row
  const float* panel = nullptr;   // d * kPanel coordinates, as above
  const float* norms = nullptr;   // kPanel squared norms of the columns (+inf past the last point)
  const float* slacks = nullptr;  // kPanel error allowances of the columns, each >= 0
  const float* limits = nullptr;  // kGroup thresholds of the rows
  std::size_t d = 0;
};

// keys[r * kPanel + l] = norms[l] - 2 * (row r . column l), the dot product summed in
// float over the coordinates in order; bit l of masks[r] is set when
// keys[r * kPanel + l] - slacks[l] <= limits[r].
using TileKernel = void (*)(const TileInput& input, float* keys, std::uint16_t* masks);

void TileScalar(const TileInput& input, float* keys, std::uint16_t* masks);
void TileAvx2(const TileInput& input, float* keys, std::uint16_t* masks);
void TileAvx512(const TileInput& input, float* keys, std::uint16_t* masks);

enum class NeighbourPath { kAuto, kScalar, kAvx2, kAvx512 };

// Whether this processor can run `path`; kAuto always can.
bool NeighbourPathAvailable(NeighbourPath path);

// The kernel of `path` (kAuto: the widest available). Throws std::invalid_argument
// where the path is not available.
TileKernel KernelFor(NeighbourPath path);

// ExactNeighbours on a forced path, for tests and benchmarks; `measured_by_all`, if
// given, gets the number of points measured against all others instead of against
// their candidates.
NeighbourLists ExactNeighboursOnPath(const double* x, std::size_t n, std::size_t d, std::size_t k,
                                     const SearchSettings& settings, NeighbourPath path,
                                     std::size_t* measured_by_all = nullptr);

}  // namespace affinities::detail
