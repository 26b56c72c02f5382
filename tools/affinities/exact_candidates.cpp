#include "affinities/exact_candidates.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace affinities::detail {
namespace {

// Relative allowance for the few double roundings of the threshold's own arithmetic.
constexpr double kRoundings = 0x1p-40;

// A float sum lies within u of its value (2^-150 where it underflows), and that
// allowance keeps the order: a bound of computed uppers, so widened, bounds exact ones.
double Widened(double upper) { return upper + 0x1p-23 * std::abs(upper) + 0x1p-140; }

// The larger and the smaller of two floats without a branch: the compiler may pick a
// jump for std::max, which the selection's random order mispredicts half the time.
#if defined(__SSE2__)
float Larger(float a, float b) { return _mm_cvtss_f32(_mm_max_ss(_mm_set_ss(a), _mm_set_ss(b))); }
float Smaller(float a, float b) { return _mm_cvtss_f32(_mm_min_ss(_mm_set_ss(a), _mm_set_ss(b))); }
#else
float Larger(float a, float b) { return std::max(a, b); }
float Smaller(float a, float b) { return std::min(a, b); }
#endif

}  // namespace

void CandidateRow::Start(const CandidateContext& context, std::size_t i) {
  context_ = &context;
  i_ = i;
  const Prepared& prepared = *context.prepared;
  own_ = 2.0 * prepared.cu * prepared.radius[i] * prepared.radius[i] + prepared.absolute;
  threshold_ = std::numeric_limits<double>::infinity();
  limit_ = std::numeric_limits<float>::infinity();
  overflowed_ = false;
  Empty(context);
}

void CandidateRow::Park(const CandidateContext& context) {
  limit_ = -std::numeric_limits<float>::infinity();
  overflowed_ = false;
  Empty(context);
}

void CandidateRow::Empty(const CandidateContext& context) {
  k_ = context.k;
  capacity_ = context.capacity;
  if (lower_.size() != capacity_ + kPanel) {
    lower_.resize(capacity_ + kPanel);
    upper_.resize(capacity_ + kPanel);
    index_.resize(capacity_ + kPanel);
    candidates_ = {lower_.data(), upper_.data(), index_.data(), 0};
  }
  candidates_.size = 0;
}

void CandidateRow::Settle() {
  Select();
  // Each selection must free a fair share of the room, or the offers would cost a
  // selection each: the float pass cannot tell these points apart.
  if (candidates_.size > k_ + (capacity_ - k_) / 2) {
    overflowed_ = true;
    candidates_.size = 0;
    limit_ = -std::numeric_limits<float>::infinity();  // nothing more is offered
  }
}

void CandidateRow::Select() {
  // Not the k-th itself: the largest upper of the buckets that hold the k smallest.
  // Any k of them bound it, and the buckets make the choice a few passes without
  // branches.
  const std::size_t size = candidates_.size;
  const float* upper = upper_.data();
  // Four running extremes: one would wait on the latency of each comparison.
  float low[4], high[4];
  for (std::size_t l = 0; l < 4; ++l) low[l] = high[l] = upper[0];
  std::size_t m = 0;
  for (; m + 4 <= size; m += 4) {
    for (std::size_t l = 0; l < 4; ++l) {
      low[l] = std::min(low[l], upper[m + l]);
      high[l] = std::max(high[l], upper[m + l]);
    }
  }
  for (; m < size; ++m) {
    low[0] = std::min(low[0], upper[m]);
    high[0] = std::max(high[0], upper[m]);
  }
  const float lowest = std::min(std::min(low[0], low[1]), std::min(low[2], low[3]));
  const float highest = std::max(std::max(high[0], high[1]), std::max(high[2], high[3]));
  float scale = static_cast<float>(kBuckets - 1) / (highest - lowest);
  if (!(scale <= std::numeric_limits<float>::max())) scale = std::numeric_limits<float>::max();
  std::uint32_t counts[kBuckets] = {};
  float tops[kBuckets];
  std::fill(std::begin(tops), std::end(tops), lowest);
  for (m = 0; m < size; ++m) {
    const auto bucket = static_cast<std::size_t>(Smaller((upper[m] - lowest) * scale, kBuckets - 1));
    ++counts[bucket];
    tops[bucket] = Larger(tops[bucket], upper[m]);
  }
  std::size_t cursor = 0;
  for (std::size_t below = counts[0]; below < k_; below += counts[++cursor]) {
  }
  float bound = lowest;
  for (std::size_t b = 0; b <= cursor; ++b) bound = std::max(bound, tops[b]);
  Lower(Widened(bound));
  // The kernel's own test, so a column the kernel would now refuse goes.
  const float limit = limit_;
  float* lower = lower_.data();
  float* kept_upper = upper_.data();
  std::int32_t* index = index_.data();
  std::size_t kept = 0;
  for (m = 0; m < size; ++m) {
    const float below = lower[m];
    lower[kept] = below;
    kept_upper[kept] = kept_upper[m];
    index[kept] = index[m];
    kept += below <= limit;
  }
  candidates_.size = kept;
}

void CandidateRow::Lower(double bound) {
  threshold_ = std::min(threshold_, bound);
  const double limit = threshold_ + 2.0 * own_;
  limit_ = FloatAbove(limit + kRoundings * (std::abs(threshold_) + 2.0 * own_));
}

bool CandidateRow::Finish(std::int32_t* indices, float* distances) {
  const CandidateContext& context = *context_;
  // Every column but i was offered or refused against some T, so k or more are kept;
  // a selection among them makes the last cut.
  if (!overflowed_ && candidates_.size >= k_) Select();
  // Fewer than k left cannot happen while the bound holds; measuring all is the safe answer anyway.
  if (overflowed_ || candidates_.size < k_) {
    NearestByAll(context.x, context.n, context.d, i_, k_, indices, distances, ranked_);
    return true;
  }
  exact_.resize(candidates_.size);
  ExactSquaredDistances(context.x, context.d, i_, index_.data(), candidates_.size, exact_.data());
  ranked_.clear();
  for (std::size_t m = 0; m < candidates_.size; ++m) ranked_.push_back({exact_[m], index_[m]});
  TakeNearest(ranked_, k_, indices, distances);
  return false;
}

}  // namespace affinities::detail
