// The exact normaliser of the output affinities,
//   Z = sum over ordered pairs i != j of 1 / (1 + |y_i - y_j|^2),
// in double, quadratic in N, on all cores and the widest vector instructions. The
// summation order is fixed (see exact_layout.hpp): the result has the same bits for
// every thread count and every instruction-set path.
#pragma once

#include <cstddef>
#include <functional>

#include "support/instruction_set.hpp"

namespace tsneloss::normaliser {

struct ExactSettings {
  unsigned threads = 0;                   // 0: one per hardware thread
  support::InstructionSet path = support::InstructionSet::kAuto;  // forced: tests, benchmarks
  std::function<void(double)> progress;   // the share done, 0 to 1, on the calling thread
};

// `y` holds n points of d coordinates, point after point. Throws std::invalid_argument
// for a path this processor lacks, std::bad_alloc.
double ExactNormaliser(const double* y, std::size_t n, std::size_t d, const ExactSettings& settings = {});

}  // namespace tsneloss::normaliser
