// The cut of a full buffer of candidates: an upper bound of the k-th smallest upper
// from 64 buckets over the uppers' range, and the columns the lowered threshold
// refuses dropped. Per instruction-set path, as the tile kernels; every path gives
// the same bits.
#pragma once

#include <cstddef>
#include <type_traits>

#include "affinities/exact_distances.hpp"
#include "affinities/exact_tile.hpp"

namespace tsneloss::affinities::detail {

inline constexpr int kBuckets = 64;

// The largest of upper[0 .. size) whose bucket is at or below the bucket of the k-th
// smallest (0 < k <= size): k or more lie at or under it, so it bounds the k-th, and
// lies within a bucket of it.
float BucketBound(const float* upper, std::size_t size, std::size_t k);
float BucketBoundAvx512(const float* upper, std::size_t size, std::size_t k);

// Keeps the candidates whose lower <= limit, in their order.
void Prune(Candidates& candidates, float limit);
void PruneAvx512(Candidates& candidates, float limit);

struct SelectKernels {
  decltype(&BucketBound) bound = &BucketBound;
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
