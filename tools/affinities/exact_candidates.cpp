#include "affinities/exact_candidates.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace affinities::detail {
namespace {

// Relative allowance for the few double roundings in a bound's own arithmetic.
constexpr double kRoundings = 0x1p-40;

}  // namespace

void CandidateRow::Start(const CandidateContext& context, std::size_t i) {
  context_ = &context;
  i_ = i;
  norm_ = context.prepared->norms[i];
  threshold_ = std::numeric_limits<double>::infinity();
  limit_ = std::numeric_limits<float>::infinity();
  overflowed_ = false;
  kept_.clear();
}

double CandidateRow::Slack(const Kept& kept) const {
  const Prepared& prepared = *context_->prepared;
  const double reach = prepared.radius[i_] + prepared.radius[static_cast<std::size_t>(kept.index)];
  const double bound = prepared.cu * reach * reach + prepared.absolute;
  return bound + kRoundings * (norm_ + std::abs(static_cast<double>(kept.key)) + bound);
}

bool CandidateRow::Offer(std::int32_t j, float key) {
  kept_.push_back({key, j});
  if (kept_.size() < context_->capacity) return false;
  Thin();
  if (kept_.size() > context_->capacity / 2) {
    overflowed_ = true;
    kept_.clear();
    limit_ = -std::numeric_limits<float>::infinity();  // nothing more is offered
  }
  return true;
}

void CandidateRow::Thin() {
  const std::size_t k = context_->k;
  uppers_.clear();
  for (const Kept& kept : kept_) uppers_.push_back(norm_ + kept.key + Slack(kept));
  std::nth_element(uppers_.begin(), uppers_.begin() + static_cast<std::ptrdiff_t>(k - 1), uppers_.end());
  threshold_ = std::min(threshold_, uppers_[k - 1]);
  std::erase_if(kept_, [&](const Kept& kept) { return norm_ + kept.key - Slack(kept) > threshold_; });
  // The kernel compares key - slack_j with T - n_i + 2 cu r_i^2 + absolute, since
  // b_ij <= 2 cu (r_i^2 + r_j^2) + absolute; rounded up, so that it only keeps more.
  const Prepared& prepared = *context_->prepared;
  const double own = 2.0 * prepared.cu * prepared.radius[i_] * prepared.radius[i_] + prepared.absolute;
  const double limit = threshold_ - norm_ + own;
  limit_ = FloatAbove(limit + kRoundings * (std::abs(threshold_) + norm_ + own));
}

void CandidateRow::Finish(std::int32_t* indices, float* distances) {
  const CandidateContext& context = *context_;
  if (overflowed_) {
    NearestByAll(context.x, context.n, context.d, i_, context.k, indices, distances, ranked_);
    return;
  }
  // Every column but i was offered or ruled out against some T, so k or more are kept.
  Thin();
  indices_.clear();
  for (const Kept& kept : kept_) indices_.push_back(kept.index);
  exact_.resize(indices_.size());
  ExactSquaredDistances(context.x, context.d, i_, indices_.data(), indices_.size(), exact_.data());
  ranked_.clear();
  for (std::size_t m = 0; m < indices_.size(); ++m) ranked_.push_back({exact_[m], indices_[m]});
  TakeNearest(ranked_, context.k, indices, distances);
}

}  // namespace affinities::detail
