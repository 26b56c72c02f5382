#include "affinities/exact_candidates.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace tsneloss::affinities::detail {
namespace {

// Relative allowance for the few double roundings of the threshold's own arithmetic.
constexpr double kRoundings = 0x1p-40;

// A float sum lies within u of its value (2^-150 where it underflows), and that
// allowance keeps the order: a bound of computed uppers, so widened, bounds exact ones.
double Widened(double upper) { return upper + 0x1p-23 * std::abs(upper) + 0x1p-140; }

}  // namespace

void CandidateRow::Start(const CandidateContext& context, std::size_t i) {
  context_ = &context;
  i_ = i;
  const Prepared& prepared = *context.prepared;
  own_ = 2.0 * prepared.cu * prepared.radius[i] * prepared.radius[i] + prepared.absolute;
  threshold_ = std::numeric_limits<double>::infinity();
  limit_ = std::numeric_limits<float>::infinity();
  overflowed_ = false;
  Empty(context, i);
}

void CandidateRow::Park(const CandidateContext& context, std::size_t i) {
  limit_ = -std::numeric_limits<float>::infinity();
  overflowed_ = false;
  Empty(context, i);
}

void CandidateRow::Empty(const CandidateContext& context, std::size_t i) {
  k_ = context.k;
  capacity_ = context.capacity;
  const std::size_t first = i * (capacity_ + kPanel);
  candidates_ = {context.lower + first, context.upper + first, context.index + first, 0};
}

void CandidateRow::Settle() {
  const std::size_t most = k_ + (capacity_ - k_) / 2;
  Select();
  // One far offer stretches the range over all the near ones, so that the first
  // cut drops little more than it: cut again over what is left.
  if (candidates_.size > most) Select();
  // Each settling must free a fair share of the room, or the offers would cost a
  // selection each: the float pass cannot tell these points apart.
  if (candidates_.size > most) {
    overflowed_ = true;
    candidates_.size = 0;
    limit_ = -std::numeric_limits<float>::infinity();  // nothing more is offered
  }
}

void CandidateRow::Select() {
  Lower(Widened(context_->select.bound(candidates_.upper, candidates_.size, k_)));
  // The kernel's own test, so a column the kernel would now refuse goes.
  context_->select.prune(candidates_, limit_);
}

void CandidateRow::Lower(double bound) {
  threshold_ = std::min(threshold_, bound);
  const double limit = threshold_ + 2.0 * own_;
  limit_ = FloatAbove(limit + kRoundings * (std::abs(threshold_) + 2.0 * own_));
}

bool CandidateRow::Finish(std::int32_t* indices, float* distances, std::vector<double>& exact,
                          std::vector<Ranked>& ranked) {
  const CandidateContext& context = *context_;
  // Every column but i was offered or refused against some T, so k or more are kept;
  // a selection among them makes the last cut.
  if (!overflowed_ && candidates_.size >= k_) Select();
  // Fewer than k left cannot happen while the bound holds; measuring all is the safe answer anyway.
  if (overflowed_ || candidates_.size < k_) {
    OnPoints(context, [&](const auto* x) {
      NearestByAll(x, context.n, context.d, i_, k_, indices, distances, ranked, context.select.Measure<Real<decltype(x)>>());
    });
    return true;
  }
  exact.resize(candidates_.size);
  OnPoints(context, [&](const auto* x) {
    context.select.Measure<Real<decltype(x)>>()(x, context.d, i_, candidates_.index, candidates_.size, exact.data());
  });
  context.select.take(exact.data(), candidates_.index, candidates_.size, k_, indices, distances, ranked);
  return false;
}

}  // namespace tsneloss::affinities::detail
