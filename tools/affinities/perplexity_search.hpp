// Each point's conditional affinities to its neighbours at a given perplexity.
//
// For point i with squared distances d_j to its neighbours, a precision beta is
// sought by bisection so that the entropy of p_j = exp(-d_j beta) / sum exp(-d_m beta)
// equals ln(perplexity): beta starts at 1 with open bounds, is doubled or halved
// while a bound is still open and moved half way to it after, for at most 100 steps
// or until the entropy is within 1e-5. The arithmetic is t-SNE's own, step for step,
// so the same distances give the same p_j.
#pragma once

#include <cstddef>

namespace tsneloss::affinities {

// The p_j of one point from its `count` squared distances, summed in the order given;
// writes `count` values to `conditional` and returns the beta found.
double ConditionalRow(const float* squared_distances, std::size_t count, double perplexity, double* conditional);

// ConditionalRow for each of n rows of k distances, row after row, on `threads`
// threads (0: one per hardware thread); writes n * k values.
void ConditionalRows(const float* squared_distances, std::size_t n, std::size_t k, double perplexity,
                     unsigned threads, double* conditional);

}  // namespace tsneloss::affinities
