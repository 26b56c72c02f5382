// One point's candidates during the candidate pass. With b_ij the error bound of
// exact_prepare.hpp, b_ij <= s_i + s_j, s_i = 2 cu r_i^2 + absolute (s_j rounded up in
// float: the column's slack w_j). T, never below the k-th smallest exact distance, is
// n_i + s_i plus an upper bound of the k-th smallest key + w_j kept so far, found
// anew after every k or so offers (a histogram, cheaper than a heap per offer); every column with
// a_ij - b_ij <= T, that is key - w_j <= T - n_i + s_i, is kept: every true
// neighbour, and every point tied with the k-th. Too many kept against T (data the
// float pass cannot tell apart) sends the point to the exact pass over all.
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
  std::size_t capacity = 0;  // kept candidates that start a thinning; half of it left after one overflows
  const Prepared* prepared = nullptr;
};

class CandidateRow {
 public:
  // Starts point i, keeping nothing, with no threshold.
  void Start(const CandidateContext& context, std::size_t i);
  // Keeps column j with its kernel key; true when limit() changed.
  bool Offer(std::int32_t j, float key);
  // The kernel's threshold for this row: a column whose key - w_j lies above it is no neighbour.
  float limit() const { return limit_; }
  // Writes the point's k neighbours, measured exactly.
  void Finish(std::int32_t* indices, float* distances);

 private:
  struct Kept {
    float key;
    std::int32_t index;
  };
  // Lowers T to an upper bound of the k-th smallest key + w_j kept, and drops the
  // kept columns the kernel would now refuse.
  void Thin();

  const CandidateContext* context_ = nullptr;
  std::size_t i_ = 0;
  double own_ = 0;        // s_i
  float limit_ = 0;
  bool overflowed_ = false;
  std::vector<Kept> kept_;
  std::size_t next_thin_ = 0;  // kept_.size() that calls Thin()
  double threshold_ = 0;       // T - n_i - s_i
  std::vector<float> uppers_;
  std::vector<std::uint8_t> buckets_;
  std::vector<std::int32_t> indices_;
  std::vector<double> exact_;
  std::vector<Ranked> ranked_;
};

}  // namespace affinities::detail
