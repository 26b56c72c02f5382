// The cut of a full buffer of candidates: an upper bound of the k-th smallest upper,
// found by halving the uppers' range while k or more lie at or under its top, and the
// columns the lowered threshold refuses dropped. Per instruction-set path, as the tile
// kernels; every path gives the same bits.
#pragma once

#include <cstddef>
#include <type_traits>

#include "affinities/exact_distances.hpp"
#include "affinities/exact_tile.hpp"

namespace tsneloss::affinities::detail {

inline constexpr int kHalvings = 6;

// The largest of upper[0 .. size) at or under t, where t is the least top of the range
// halved kHalvings times with k or more at or under it (0 < k <= size): it bounds the
// k-th smallest, and lies within a 64th of the range of it. The halving point is
// low / 2 + high / 2 in float, which cannot overflow.
float CountedBound(const float* upper, std::size_t size, std::size_t k);
float CountedBoundAvx2(const float* upper, std::size_t size, std::size_t k);
float CountedBoundAvx512(const float* upper, std::size_t size, std::size_t k);

// Keeps the candidates whose lower <= limit, in their order.
void Prune(Candidates& candidates, float limit);
void PruneAvx512(Candidates& candidates, float limit);

struct SelectKernels {
  decltype(&CountedBound) bound = &CountedBound;
  decltype(&Prune) prune = &Prune;
  decltype(&TakeNearestOf) take = &TakeNearestOf;
  MeasureKernel<double> measure = &ExactSquaredDistances<double>;
  MeasureKernel<float> measure_single = &ExactSquaredDistances<float>;

  // The measuring kernel for points of type Real.
  template <typename Real>
  MeasureKernel<Real> Measure() const {
    if constexpr (std::is_same_v<Real, float>) {
      return measure_single;
    } else {
      return measure;
    }
  }
};

// The selection of `set`; `set` must be available.
SelectKernels SelectFor(support::InstructionSet set);

}  // namespace tsneloss::affinities::detail
