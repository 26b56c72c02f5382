// The fixed shape of the exact normaliser's summation tree. Every instruction-set path
// and every thread count adds the same terms in the same order, so these numbers,
// not the hardware, decide the bits of the result.
#pragma once

#include <cstddef>

#include "support/instruction_set.hpp"

namespace tsneloss::normaliser::detail {

// Virtual lanes: pair (i, j) is summed in lane j mod kLanes, whatever the vector width.
inline constexpr std::size_t kLanes = 8;
// Rows handled together: their four terms for one column share a single division.
inline constexpr std::size_t kGroupRows = 4;
// Rows per unit of work; one unit's sum is one entry of the final ordered sum.
inline constexpr std::size_t kRowBlock = 256;
// Columns per lane flush: each lane adds at most kColumnBlock / kLanes terms before it
// is folded into a compensated sum, which bounds the rounding error of the lanes.
inline constexpr std::size_t kColumnBlock = 1024;
// Four terms 1/a_r are summed as one fraction while its denominator stays below this;
// above it (points about 1e75 apart) each term is divided on its own.
inline constexpr double kFractionLimit = 1e300;

// The embedding as the paths read it: coordinate k of point j at columns[k * stride + j].
// At least kLanes + kGroupRows zeros follow the n points of each coordinate.
struct SweepInput {
  const double* columns = nullptr;
  std::size_t stride = 0;
  std::size_t n = 0;
  std::size_t d = 0;
};

// The sum of 1 / (1 + |y_i - y_j|^2) over the pairs i < j whose i lies in row block
// `block`, in the fixed order. One function per instruction-set path.
using RowBlockSweep = double (*)(const SweepInput& input, std::size_t block);

double SweepRowBlockScalar(const SweepInput& input, std::size_t block);
double SweepRowBlockAvx2(const SweepInput& input, std::size_t block);
double SweepRowBlockAvx512(const SweepInput& input, std::size_t block);

// The sum of 1 / (1 + |y_i - y_j|^2) over every pair of i in the `rows` (at most
// kGroupRows) points from r0 and j in [column_begin, column_end), a point with itself
// included, in a fixed order: what the approximate Z sums exactly for points outside
// its grid. One function per instruction-set path, the same bits from each.
using CrossSweep = double (*)(const SweepInput& input, std::size_t r0, std::size_t rows, std::size_t column_begin,
                              std::size_t column_end);

double CrossSumScalar(const SweepInput& input, std::size_t r0, std::size_t rows, std::size_t column_begin,
                      std::size_t column_end);
double CrossSumAvx2(const SweepInput& input, std::size_t r0, std::size_t rows, std::size_t column_begin,
                    std::size_t column_end);
double CrossSumAvx512(const SweepInput& input, std::size_t r0, std::size_t rows, std::size_t column_begin,
                      std::size_t column_end);

// The sweeps of `set` (kAuto: the widest available); throw std::invalid_argument where
// the set is not available.
RowBlockSweep SweepFor(support::InstructionSet set);
CrossSweep CrossSweepFor(support::InstructionSet set);

}  // namespace tsneloss::normaliser::detail
