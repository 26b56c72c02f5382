#include "affinities/perplexity_search.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "support/parallel.hpp"

namespace tsneloss::affinities {
namespace {

constexpr int kMaxSteps = 100;
constexpr double kEntropyTolerance = 1e-5;
// A row whose every p_j underflows would divide by zero; t-SNE takes this sum instead.
constexpr double kEmptySum = 1e-8;
constexpr std::size_t kRowsPerTask = 256;

}  // namespace

double ConditionalRow(const float* squared_distances, std::size_t count, double perplexity, double* conditional) {
  const double wanted_entropy = std::log(perplexity);
  const double infinity = std::numeric_limits<double>::infinity();
  double beta = 1.0;
  double beta_low = -infinity;
  double beta_high = infinity;
  for (int step = 0; step < kMaxSteps; ++step) {
    double sum = 0.0;
    for (std::size_t j = 0; j < count; ++j) {
      conditional[j] = std::exp(-static_cast<double>(squared_distances[j]) * beta);
      sum += conditional[j];
    }
    if (sum == 0.0) sum = kEmptySum;
    double weighted_distance = 0.0;
    for (std::size_t j = 0; j < count; ++j) {
      conditional[j] /= sum;
      weighted_distance += static_cast<double>(squared_distances[j]) * conditional[j];
    }
    const double entropy_excess = std::log(sum) + beta * weighted_distance - wanted_entropy;
    if (std::fabs(entropy_excess) <= kEntropyTolerance) break;
    if (entropy_excess > 0.0) {
      beta_low = beta;
      beta = beta_high == infinity ? beta * 2.0 : (beta + beta_high) / 2.0;
    } else {
      beta_high = beta;
      beta = beta_low == -infinity ? beta / 2.0 : (beta + beta_low) / 2.0;
    }
  }
  return beta;
}

void ConditionalRows(const float* squared_distances, std::size_t n, std::size_t k, double perplexity,
                     unsigned threads, double* conditional) {
  const std::size_t tasks = (n + kRowsPerTask - 1) / kRowsPerTask;
  support::ParallelFor(tasks, {threads, {}}, [&](std::size_t task, unsigned) {
    const std::size_t end = std::min(n, (task + 1) * kRowsPerTask);
    for (std::size_t i = task * kRowsPerTask; i < end; ++i) {
      ConditionalRow(squared_distances + i * k, k, perplexity, conditional + i * k);
    }
  });
}

}  // namespace tsneloss::affinities
