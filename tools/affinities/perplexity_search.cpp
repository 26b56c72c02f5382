#include "affinities/perplexity_search.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <limits>

#include "affinities/exp_rows.hpp"
#include "affinities/perplexity_lanes.hpp"
#include "support/parallel.hpp"

namespace tsneloss::affinities {
namespace {

using detail::kEmptySum;
using detail::kEntropyTolerance;
constexpr int kMaxSteps = detail::kMaxSearchSteps;
constexpr std::size_t kRowsPerTask = 256;

// The scaled search's range of log2(beta) in units of the widest gap: below it every
// p_j is equal to the last bit; above it even the narrowest gap a float can hold
// (2^-149 against a widest of 2^128) weighs exp(-2^23) against the nearest.
constexpr double kLowestLog2Beta = -64;
constexpr double kHighestLog2Beta = 300;

// Shifted squared distances over the widest finite gap: 0 for the nearest, at most 1
// for the rest but +inf for a distance that is.
class ScaledGaps {
 public:
  ScaledGaps(const float* squared_distances, std::size_t count) : distances_(squared_distances) {
    nearest_ = *std::min_element(squared_distances, squared_distances + count);
    double widest = 0;
    for (std::size_t j = 0; j < count; ++j) {
      const double gap = Shifted(j);
      if (std::isfinite(gap)) widest = std::max(widest, gap);
    }
    if (widest > 0) unit_ = widest;
  }

  double operator[](std::size_t j) const { return Shifted(j) / unit_; }

 private:
  // The nearest's own ties give exactly 0, even at +inf, where the difference is NaN.
  double Shifted(std::size_t j) const {
    const double distance = distances_[j];
    return distance == nearest_ ? 0.0 : distance - nearest_;
  }

  const float* distances_;
  double nearest_ = 0;
  double unit_ = 1;
};

// The entropy of p_j = exp(-gap_j beta) / sum, writing p_j; the nearest's term is 1.
double ScaledEntropy(const ScaledGaps& gaps, std::size_t count, double beta, double* conditional) {
  double sum = 0.0;
  for (std::size_t j = 0; j < count; ++j) {
    conditional[j] = std::exp(-gaps[j] * beta);
    sum += conditional[j];
  }
  double weighted_gap = 0.0;
  for (std::size_t j = 0; j < count; ++j) {
    conditional[j] /= sum;
    if (conditional[j] > 0) weighted_gap += gaps[j] * conditional[j];
  }
  return std::log(sum) + beta * weighted_gap;
}

}  // namespace

RowSearch ConditionalRow(const float* squared_distances, std::size_t count, double perplexity, double* conditional) {
  const double wanted_entropy = std::log(perplexity);
  detail::Bisection bisection;
  RowSearch search{1.0, false};
  for (int step = 0; step < kMaxSteps && !search.met; ++step) {
    detail::NegatedExps(squared_distances, count, bisection.beta, conditional);
    double sum = 0.0;
    for (std::size_t j = 0; j < count; ++j) sum += conditional[j];
    if (sum == 0.0) sum = kEmptySum;
    detail::DivideAll(conditional, count, sum);
    double weighted_distance = 0.0;
    for (std::size_t j = 0; j < count; ++j) weighted_distance += static_cast<double>(squared_distances[j]) * conditional[j];
    search.beta = bisection.beta;
    search.met = bisection.Met(sum, weighted_distance, wanted_entropy);
  }
  if (!search.met) search.beta = bisection.beta;
  return search;
}

RowSearch ScaledConditionalRow(const float* squared_distances, std::size_t count, double perplexity,
                               double* conditional) {
  const ScaledGaps gaps(squared_distances, count);
  const double wanted_entropy = std::log(perplexity);
  // The entropy falls as beta grows: bisect log2(beta) between the range's ends.
  double low = kLowestLog2Beta;
  double high = kHighestLog2Beta;
  RowSearch search;
  for (int step = 0; step < kMaxSteps; ++step) {
    const double middle = (low + high) / 2;
    search.beta = std::exp2(middle);
    const double entropy_excess = ScaledEntropy(gaps, count, search.beta, conditional) - wanted_entropy;
    if (std::fabs(entropy_excess) <= kEntropyTolerance) {
      search.met = true;
      break;
    }
    (entropy_excess > 0.0 ? low : high) = middle;
  }
  return search;
}

std::size_t ConditionalRows(const float* squared_distances, std::size_t n, std::size_t k, double perplexity,
                            PrecisionSearch search, unsigned threads, double* conditional) {
  const auto row_search = search == PrecisionSearch::kTsne ? ConditionalRow : ScaledConditionalRow;
  std::atomic<std::size_t> unmet{0};
  const std::size_t tasks = (n + kRowsPerTask - 1) / kRowsPerTask;
  support::ParallelFor(tasks, {threads, {}}, [&](std::size_t task, unsigned) {
    const std::size_t end = std::min(n, (task + 1) * kRowsPerTask);
#if AFFINITIES_X86_PATHS
    if (search == PrecisionSearch::kTsne && detail::VectorExpAgrees()) {
      const std::size_t first = task * kRowsPerTask;
      unmet += detail::ConditionalRowsAvx512(squared_distances + first * k, end - first, k, perplexity,
                                             conditional + first * k);
      return;
    }
#endif
    std::size_t task_unmet = 0;
    for (std::size_t i = task * kRowsPerTask; i < end; ++i) {
      if (!row_search(squared_distances + i * k, k, perplexity, conditional + i * k).met) ++task_unmet;
    }
    unmet += task_unmet;
  });
  return unmet;
}

namespace detail {

bool Bisection::Met(double sum, double weighted, double wanted_entropy) {
  const double entropy_excess = std::log(sum) + beta * weighted - wanted_entropy;
  if (std::fabs(entropy_excess) <= kEntropyTolerance) return true;
  Move(entropy_excess);
  return false;
}

void Bisection::Move(double entropy_excess) {
  if (entropy_excess > 0.0) {
    low = beta;
    beta = high == std::numeric_limits<double>::infinity() ? beta * 2.0 : (beta + high) / 2.0;
  } else {
    high = beta;
    beta = low == -std::numeric_limits<double>::infinity() ? beta / 2.0 : (beta + low) / 2.0;
  }
}

ApproximateKernels BuiltApproximateKernels() {
#if AFFINITIES_X86_PATHS
  return {&ApproximateExpsAvx512, &ApproximateExcessAvx512};
#else
  return {};
#endif
}

}  // namespace detail

}  // namespace tsneloss::affinities
