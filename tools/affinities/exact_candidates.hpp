// One point's candidates during the candidate pass. With b_ij the error bound of
// exact_prepare.hpp, b_ij <= s_i + s_j, s_i = 2 cu r_i^2 + absolute (s_j rounded up in
// float: the column's slack w_j). T, never below the k-th smallest exact distance, is
// n_i + s_i plus an upper bound of the k-th smallest key + w_j offered so far; every
// column with a_ij - b_ij <= T, that is key - w_j <= T - n_i + s_i, is kept: every
// true neighbour, and every point tied with the k-th. Too many kept against T (data
// the float pass cannot tell apart) sends the point to the exact pass over all.
//
// The bound follows the k-th on a grid of buckets over [lowest, T]: an offer costs one
// count, and T moves down a bucket edge at a time; the grid is drawn anew, finer, once
// T has fallen through half of it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "affinities/exact_distances.hpp"
#include "affinities/exact_prepare.hpp"

namespace affinities::detail {

// What every point's candidates share.
struct CandidateContext {
  const double* x = nullptr;
  std::size_t n = 0;
  std::size_t d = 0;
  std::size_t k = 0;
  std::size_t capacity = 0;  // kept candidates that start a pruning; over half of it left after one: overflow
  const Prepared* prepared = nullptr;
};

class CandidateRow {
 public:
  static constexpr int kBuckets = 256;

  // Starts point i, keeping nothing, with no threshold.
  void Start(const CandidateContext& context, std::size_t i);
  // Keeps column j with its kernel key and its slack w_j; true when limit() changed.
  // Inline: most offers only count in their bucket.
  bool Offer(std::int32_t j, float key, float slack) {
    kept_.push_back({key, j});
    if (gridded_ && kept_.size() < capacity_) {
      const int bucket = Bucket(key + slack);
      if (bucket > cursor_) return false;
      ++counts_[bucket];
      ++below_;
      if (below_ - counts_[cursor_] < k_) return false;
    }
    return Settle();
  }
  // The kernel's threshold for this row: a column whose key - w_j lies above it is no neighbour.
  float limit() const { return limit_; }
  // Writes the point's k neighbours, measured exactly; true when they were measured
  // against all points.
  bool Finish(std::int32_t* indices, float* distances);

 private:
  struct Kept {
    float key;
    std::int32_t index;
  };
  // The rest of Offer: the first grid, a pruning when full, T down to a lower bucket.
  bool Settle();
  // The bucket of a bound on the grid; kBuckets past the last.
  int Bucket(float upper) const {
    const float place = (upper - low_) * scale_;
    return place < 0 ? 0 : place >= kBuckets ? kBuckets : static_cast<int>(place);
  }
  // Draws the grid over [lowest kept, T] (the highest kept while T is infinite),
  // lowers T, and drops the kept columns the kernel would now refuse.
  void Regrid();
  // Lowers T to `bound` (>= the k-th smallest key + w_j offered) and sets limit().
  void Lower(double bound);
  void Prune();

  const CandidateContext* context_ = nullptr;
  std::size_t i_ = 0;
  std::size_t k_ = 0;
  std::size_t capacity_ = 0;
  double own_ = 0;        // s_i
  double threshold_ = 0;  // T - n_i - s_i
  float limit_ = 0;
  bool overflowed_ = false;
  bool gridded_ = false;
  float low_ = 0;    // the grid: bucket b holds the uppers from low_ + b / scale_ on
  float scale_ = 0;
  int cursor_ = 0;          // T's bucket
  std::size_t below_ = 0;   // offers counted in buckets up to cursor_
  std::uint32_t counts_[kBuckets] = {};
  std::vector<Kept> kept_;
  std::vector<float> uppers_;
  std::vector<std::uint16_t> buckets_;
  std::vector<std::int32_t> indices_;
  std::vector<double> exact_;
  std::vector<Ranked> ranked_;
};

}  // namespace affinities::detail
