// Guessed caps for the candidate pass. T starts at infinity and falls only as offers
// come in, so the early tiles offer most of what they see: about k (1 + ln(n / k))
// offers a point in all. A cap guessed from a random sample of S points, the r-th
// smallest upper (key + w_j) among them, stands in for T until T falls below it; the
// kernels refuse what lies above either, which saves about k ln(S / r) offers a
// point for S multiply-adds per coordinate.
//
// A cap is a guess, so it is checked: where fewer than k kept candidates have their
// upper at or under the cap, a neighbour may have been refused, and the point is
// measured against all. With p = k / (n - 1), that happens about as often as r or
// more of the sample fall within the point's k-th smallest distance,
// P(Poisson(S p) >= r); the plan keeps that near one in ten thousand, whatever the data,
// since the sample is drawn at random.
#pragma once

#include <cstddef>
#include <vector>

#include "affinities/exact_prepare.hpp"
#include "affinities/exact_tile.hpp"

namespace tsneloss::affinities::detail {

// The largest rank a cap is taken at: the sixteen smallest uppers fill one vector.
inline constexpr std::size_t kMostCapRank = 16;

struct CapPlan {
  std::size_t sample = 0;  // points drawn, a multiple of kPanel; 0: no caps
  std::size_t rank = 0;    // the cap is the rank-th smallest upper of the sample, 1 <= rank <= kMostCapRank
};

// The plan that saves the most (offers saved against the sample's multiply-adds), or
// none where no plan saves anything.
CapPlan PlanCaps(std::size_t n, std::size_t d, std::size_t k);

// The points the plan draws: `sample` distinct indices below n, in increasing order,
// the same for the same n and plan.
std::vector<std::int32_t> DrawSample(std::size_t n, const CapPlan& plan);

// Every point's cap in the units of T - n_i - s_i: the plan's rank-th smallest upper
// over the sample without the point itself, widened as a bound of computed uppers is.
// +inf for every point where the plan draws nothing.
std::vector<double> GuessCaps(const Prepared& prepared, std::size_t n, std::size_t d, const CapPlan& plan,
                              TileKernel kernel, unsigned threads);

}  // namespace tsneloss::affinities::detail
