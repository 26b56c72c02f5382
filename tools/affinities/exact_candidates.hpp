// One point's candidates during the candidate pass. With b_ij the error bound of
// exact_prepare.hpp, b_ij <= s_i + s_j, s_i = 2 cu r_i^2 + absolute (s_j rounded up in
// float: the column's slack w_j). T, never below the k-th smallest exact distance, is
// n_i + s_i plus an upper bound of the k-th smallest key + w_j kept; every column with
// a_ij - b_ij <= T, that is key - w_j <= T - n_i + s_i, is kept: every true neighbour,
// and every point tied with the k-th. Too many kept against T (data the float pass
// cannot tell apart) sends the point to the exact pass over all.
//
// Offers are appended without a look at T; once the buffer is full, a selection finds
// the k-th smallest upper bound, lowers T and drops what T now refuses. T lags behind
// the k-th offered, so a few more columns are offered, but each offer is a couple of
// stores instead of bookkeeping.
#pragma once

#include <bit>
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
  std::size_t capacity = 0;  // kept candidates that start a selection
  const Prepared* prepared = nullptr;
};

class CandidateRow {
 public:
  // Offers come a panel at a time: the buffer has this much room past its capacity.
  static constexpr std::size_t kRoom = 16;
  // Buckets of a selection.
  static constexpr int kBuckets = 64;

  // Starts point i, keeping nothing, with no threshold.
  void Start(const CandidateContext& context, std::size_t i);
  // Keeps the columns first + l of the set bits l of `mask`, with their kernel keys
  // keys[l] and slacks slacks[l]; true when limit() changed.
  bool Offer(std::int32_t first, unsigned mask, const float* keys, const float* slacks) {
    for (; mask != 0; mask &= mask - 1) {
      const unsigned lane = static_cast<unsigned>(std::countr_zero(mask));
      lower_[size_] = keys[lane] - slacks[lane];
      upper_[size_] = keys[lane] + slacks[lane];
      index_[size_] = first + static_cast<std::int32_t>(lane);
      ++size_;
    }
    return size_ >= capacity_ && Settle();
  }
  // The kernel's threshold for this row: a column whose key - w_j lies above it is no neighbour.
  float limit() const { return limit_; }
  // Writes the point's k neighbours, measured exactly; true when they were measured
  // against all points.
  bool Finish(std::int32_t* indices, float* distances);

 private:
  // A full buffer: T from its k-th smallest upper bound, and the columns T refuses
  // dropped; too few dropped is an overflow.
  bool Settle();
  // Lowers T to an upper bound kept, the k-th smallest or a little above (widened),
  // and drops what the kernel would now refuse.
  void Select();
  // Lowers T to `bound` (>= the k-th smallest key + w_j offered) and sets limit().
  void Lower(double bound);

  const CandidateContext* context_ = nullptr;
  std::size_t i_ = 0;
  std::size_t k_ = 0;
  std::size_t capacity_ = 0;
  std::size_t size_ = 0;
  double own_ = 0;        // s_i
  double threshold_ = 0;  // T - n_i - s_i
  float limit_ = 0;
  bool overflowed_ = false;
  // Kept columns: key - w_j, key + w_j (both as the kernel rounds them) and the index.
  std::vector<float> lower_;
  std::vector<float> upper_;
  std::vector<std::int32_t> index_;
  std::vector<double> exact_;
  std::vector<Ranked> ranked_;
};

}  // namespace affinities::detail
