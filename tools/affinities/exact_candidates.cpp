#include "affinities/exact_candidates.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace affinities::detail {
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
  gridded_ = false;
  k_ = context.k;
  capacity_ = context.capacity;
  kept_.clear();
}

bool CandidateRow::Settle() {
  if (!gridded_) {
    if (kept_.size() < 2 * k_) return false;
    Regrid();
  } else if (kept_.size() >= capacity_) {
    Regrid();
    if (kept_.size() > capacity_ / 2) {
      overflowed_ = true;
      kept_.clear();
      limit_ = -std::numeric_limits<float>::infinity();  // nothing more is offered
    }
  } else {
    while (below_ - counts_[cursor_] >= k_) below_ -= counts_[cursor_--];
    if (cursor_ < kBuckets / 2) {
      Regrid();
    } else {
      // Bucket b holds computed places below b + 1: uppers below low_ + (b + 1) / scale_,
      // but for the two roundings of the place (2^-20 covers them) and of the sum.
      const double edge = low_ + (cursor_ + 1) * (1 + 0x1p-20) / static_cast<double>(scale_);
      Lower(Widened(edge + 0x1p-50 * std::abs(edge)));
    }
  }
  return true;
}

void CandidateRow::Regrid() {
  const float* slacks = context_->prepared->slacks.data();
  const std::size_t size = kept_.size();
  uppers_.resize(size);
  float low = std::numeric_limits<float>::infinity();
  float high = -low;
  for (std::size_t m = 0; m < size; ++m) {
    uppers_[m] = kept_[m].key + slacks[kept_[m].index];
    low = std::min(low, uppers_[m]);
    high = std::max(high, uppers_[m]);
  }
  // Over the uppers up to T only: those above it cannot bring T down.
  if (threshold_ < high) high = static_cast<float>(threshold_);
  const float width = high - low;
  low_ = low;
  scale_ = width > 0 ? static_cast<float>(kBuckets - 1) / width : 1.0f;
  if (!std::isfinite(scale_)) scale_ = std::numeric_limits<float>::max();
  std::fill(std::begin(counts_), std::end(counts_), 0u);
  buckets_.resize(size);
  for (std::size_t m = 0; m < size; ++m) {
    const int bucket = Bucket(uppers_[m]);
    buckets_[m] = static_cast<std::uint16_t>(bucket);
    counts_[std::min(bucket, kBuckets - 1)] += bucket < kBuckets ? 1 : 0;
  }
  below_ = 0;
  for (const std::uint32_t count : counts_) below_ += count;
  gridded_ = true;
  cursor_ = kBuckets - 1;
  if (below_ >= k_) {
    while (below_ - counts_[cursor_] >= k_) below_ -= counts_[cursor_--];
    // The largest counted upper in T's bucket or below: k or more lie at or under it.
    float upper = low;
    for (std::size_t m = 0; m < size; ++m) upper = std::max(upper, buckets_[m] <= cursor_ ? uppers_[m] : low);
    Lower(Widened(upper));
  }
  Prune();
}

void CandidateRow::Lower(double bound) {
  threshold_ = std::min(threshold_, bound);
  const double limit = threshold_ + 2.0 * own_;
  limit_ = FloatAbove(limit + kRoundings * (std::abs(threshold_) + 2.0 * own_));
}

void CandidateRow::Prune() {
  // The kernel's own test, so a column the kernel would now refuse goes.
  const float* slacks = context_->prepared->slacks.data();
  std::size_t kept = 0;
  for (const Kept& entry : kept_) {
    kept_[kept] = entry;
    kept += entry.key - slacks[entry.index] <= limit_;
  }
  kept_.resize(kept);
}

bool CandidateRow::Finish(std::int32_t* indices, float* distances) {
  const CandidateContext& context = *context_;
  if (!overflowed_ && kept_.size() >= context.k) {
    // Every column but i was offered or refused against some T, so k or more are kept;
    // the k-th smallest upper among them, found exactly, makes the last cut.
    const float* slacks = context.prepared->slacks.data();
    uppers_.resize(kept_.size());
    for (std::size_t m = 0; m < kept_.size(); ++m) uppers_[m] = kept_[m].key + slacks[kept_[m].index];
    const auto kth = uppers_.begin() + static_cast<std::ptrdiff_t>(context.k - 1);
    std::nth_element(uppers_.begin(), kth, uppers_.end());
    Lower(Widened(*kth));
    Prune();
  }
  // Fewer than k left cannot happen while the bound holds; measuring all is the safe answer anyway.
  if (overflowed_ || kept_.size() < context.k) {
    NearestByAll(context.x, context.n, context.d, i_, context.k, indices, distances, ranked_);
    return true;
  }
  indices_.clear();
  for (const Kept& kept : kept_) indices_.push_back(kept.index);
  exact_.resize(indices_.size());
  ExactSquaredDistances(context.x, context.d, i_, indices_.data(), indices_.size(), exact_.data());
  ranked_.clear();
  for (std::size_t m = 0; m < indices_.size(); ++m) ranked_.push_back({exact_[m], indices_[m]});
  TakeNearest(ranked_, context.k, indices, distances);
  return false;
}

}  // namespace affinities::detail
