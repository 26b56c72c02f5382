// P with every other point as a neighbour, as t-SNE's exact method takes it: each
// value raised, after normalising, to at least the double machine epsilon, so that
// the loss is that method's exact KL divergence. Quadratic in time and memory: about
// 12 bytes per ordered pair.
#pragma once

#include <cstddef>
#include <functional>

#include "affinities/joint_affinities.hpp"
#include "affinities/perplexity_search.hpp"

namespace tsneloss::affinities {

// The floor of every value of the all-pairs P.
inline constexpr double kAllPairsFloor = 2.220446049250313e-16;

// `x` holds n >= 2 points of d coordinates, point after point, all finite.
// `progress` (may be empty) gets the share of rows done, on the calling thread.
SearchedP AllPairsAffinities(const double* x, std::size_t n, std::size_t d, double perplexity, unsigned threads,
                             const std::function<void(double)>& progress,
                             PrecisionSearch search = PrecisionSearch::kTsne);

}  // namespace tsneloss::affinities
