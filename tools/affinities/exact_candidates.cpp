#include "affinities/exact_candidates.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace tsneloss::affinities::detail {
namespace {

// Relative allowance for the few double roundings of the threshold's own arithmetic.
constexpr double kRoundings = 0x1p-40;

}  // namespace

void CandidateRow::Start(const CandidateContext& context, std::size_t i) {
  context_ = &context;
  i_ = i;
  const Prepared& prepared = *context.prepared;
  own_ = 2.0 * prepared.cu * prepared.radius[i] * prepared.radius[i] + prepared.absolute;
  threshold_ = std::numeric_limits<double>::infinity();
  cap_ = context.caps != nullptr ? context.caps[i] : std::numeric_limits<double>::infinity();
  Limit();
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
  Limit();
}

void CandidateRow::Limit() {
  const double below = std::min(threshold_, cap_);
  limit_ = FloatAbove(below + 2.0 * own_ + kRoundings * (std::abs(below) + 2.0 * own_));
}

bool CandidateRow::CapHeld() const {
  if (threshold_ <= cap_) return true;
  // The bound may lie a little above the k-th upper, so count: k kept uppers at or
  // under the cap make the cap a T of its own.
  std::size_t under = 0;
  for (std::size_t m = 0; m < candidates_.size; ++m) under += Widened(candidates_.upper[m]) <= cap_;
  return under >= k_;
}

bool CandidateRow::Finish(std::int32_t* indices, float* distances, std::vector<double>& exact,
                          std::vector<Ranked>& ranked, bool& cap_missed) {
  const CandidateContext& context = *context_;
  // Every column but i was offered or refused against some T or the cap, so k or
  // more are kept unless the cap was guessed too low; a selection among them makes
  // the last cut.
  if (!overflowed_ && candidates_.size >= k_) Select();
  cap_missed = !overflowed_ && (candidates_.size < k_ || !CapHeld());
  if (overflowed_ || cap_missed) {
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
