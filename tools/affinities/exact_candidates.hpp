// One point's candidates during the candidate pass. With b_ij the error bound of
// exact_prepare.hpp, T is the k-th smallest a_ij + b_ij met so far, never below the
// k-th smallest exact distance; every column with a_ij - b_ij <= T is kept, so every
// true neighbour, and every point tied with the k-th, is kept. Too many kept against
// T (data the float pass cannot tell apart) sends the point to the exact pass over all.
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
  // The kernel's threshold for this row: a key minus its column's slack above it cannot be a neighbour.
  float limit() const { return limit_; }
  // Writes the point's k neighbours, measured exactly.
  void Finish(std::int32_t* indices, float* distances);

 private:
  struct Kept {
    float key;
    std::int32_t index;
  };
  // Lowers T to the k-th smallest upper bound kept, and drops what lies above it.
  void Thin();
  double Slack(const Kept& kept) const;

  const CandidateContext* context_ = nullptr;
  std::size_t i_ = 0;
  double norm_ = 0;
  double threshold_ = 0;
  float limit_ = 0;
  bool overflowed_ = false;
  std::vector<Kept> kept_;
  std::vector<double> uppers_;
  std::vector<std::int32_t> indices_;
  std::vector<double> exact_;
  std::vector<Ranked> ranked_;
};

}  // namespace affinities::detail
