#include "affinities/exact_candidates.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace affinities::detail {
namespace {

// Relative allowance for the few double roundings of the threshold's own arithmetic.
constexpr double kRoundings = 0x1p-40;

// Buckets of the histogram that finds T: a few columns share the k-th's bucket.
constexpr int kBuckets = 64;

// Between thinnings: often enough that T follows the k-th closely, seldom enough
// that thinning costs little per offer.
std::size_t Stride(std::size_t k) { return std::max<std::size_t>(k, 32); }

}  // namespace

void CandidateRow::Start(const CandidateContext& context, std::size_t i) {
  context_ = &context;
  i_ = i;
  const Prepared& prepared = *context.prepared;
  own_ = 2.0 * prepared.cu * prepared.radius[i] * prepared.radius[i] + prepared.absolute;
  threshold_ = std::numeric_limits<double>::infinity();
  limit_ = std::numeric_limits<float>::infinity();
  overflowed_ = false;
  next_thin_ = Stride(context.k);
  kept_.clear();
}

bool CandidateRow::Offer(std::int32_t j, float key) {
  kept_.push_back({key, j});
  if (kept_.size() < next_thin_) return false;
  Thin();
  next_thin_ = kept_.size() + Stride(context_->k);
  if (kept_.size() > context_->capacity / 2) {
    overflowed_ = true;
    kept_.clear();
    limit_ = -std::numeric_limits<float>::infinity();  // nothing more is offered
  }
  return true;
}

void CandidateRow::Thin() {
  const std::size_t k = context_->k;
  const float* slacks = context_->prepared->slacks.data();
  const std::size_t size = kept_.size();
  uppers_.resize(size);
  buckets_.resize(size);
  float low = std::numeric_limits<float>::infinity();
  float high = -low;
  for (std::size_t m = 0; m < size; ++m) {
    uppers_[m] = kept_[m].key + slacks[kept_[m].index];
    low = std::min(low, uppers_[m]);
    high = std::max(high, uppers_[m]);
  }
  // The bucket that holds the k-th smallest, then the largest value in it or below:
  // at least k values lie at or below that, whatever the rounding of the buckets.
  const float scale = high > low ? static_cast<float>(kBuckets - 1) / (high - low) : 0.0f;
  std::uint32_t counts[kBuckets] = {};
  for (std::size_t m = 0; m < size; ++m) {
    const auto bucket = static_cast<std::uint8_t>(std::min(kBuckets - 1, static_cast<int>((uppers_[m] - low) * scale)));
    buckets_[m] = bucket;
    ++counts[bucket];
  }
  int last = 0;
  for (std::size_t below = counts[0]; below < k; below += counts[++last]) {
  }
  float upper = low;
  for (std::size_t m = 0; m < size; ++m) upper = std::max(upper, buckets_[m] <= last ? uppers_[m] : low);
  // A float sum lies within u of its value (2^-150 where it underflows), and that
  // allowance keeps the order: so this bounds the k-th smallest exact key + w_j.
  const double bound = upper + 0x1p-23 * std::abs(static_cast<double>(upper)) + 0x1p-140;
  threshold_ = std::min(threshold_, bound);
  const double limit = threshold_ + 2.0 * own_;
  limit_ = FloatAbove(limit + kRoundings * (std::abs(threshold_) + 2.0 * own_));
  // The kernel's own test, so a column the kernel would now refuse goes.
  std::erase_if(kept_, [&](const Kept& kept) { return kept.key - slacks[kept.index] > limit_; });
}

void CandidateRow::Finish(std::int32_t* indices, float* distances) {
  const CandidateContext& context = *context_;
  if (overflowed_) {
    NearestByAll(context.x, context.n, context.d, i_, context.k, indices, distances, ranked_);
    return;
  }
  // Every column but i was offered or refused against some T, so k or more are kept.
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
