// t-SNE's perplexity search over many rows at once: eight rows to the eight lanes of
// AVX-512 vectors, so that the additions of one row's sums, which must run in the
// row's order and so wait on each other, overlap with seven other rows' instead.
//
// Most steps only decide which way beta moves; their p_j are thrown away. Those steps
// are taken on sums with a cheaper exp (no table), wherever the entropy they give lies
// farther from the tolerance's edges than the two computations can differ (a bound
// some 2^9 times their worst difference): t-SNE's own arithmetic would have moved beta
// the same way. The remaining steps, the last among them, run t-SNE's arithmetic, each
// lane adding its own row's terms in the row's order, so each row gets ConditionalRow's
// bits.
#pragma once

#include <cstddef>

namespace tsneloss::affinities::detail {

// ConditionalRow for each of `rows` rows of k squared distances, writing k values a
// row to `conditional`; returns how many rows did not meet the perplexity. Only
// where the vector exp agrees with std::exp (VectorExpAgrees()).
std::size_t ConditionalRowsAvx512(const float* squared_distances, std::size_t rows, std::size_t k, double perplexity,
                                  double* conditional);

// For tests, the cheaper steps' kernels; null where they are not built (off x86-64).
struct ApproximateKernels {
  // The cheaper exp of x[j], x[j] <= 0: within 2^-48 of it relatively from -700 on; 0 below.
  void (*exps)(const double* x, std::size_t count, double* out) = nullptr;
  // The entropy less `wanted_entropy` of one row at `beta` from the cheaper sums, and
  // in `margin` the bound of its distance from t-SNE's own; NaN where the cheaper
  // sums do not serve (the nearest term below exp(-600)).
  double (*excess)(const float* squared_distances, std::size_t k, double beta, double wanted_entropy,
                   double* margin) = nullptr;
};
ApproximateKernels BuiltApproximateKernels();

void ApproximateExpsAvx512(const double* x, std::size_t count, double* out);
double ApproximateExcessAvx512(const float* squared_distances, std::size_t k, double beta, double wanted_entropy,
                               double* margin);

}  // namespace tsneloss::affinities::detail
