// One point's candidates during the candidate pass. With b_ij the error bound of
// exact_prepare.hpp, b_ij <= s_i + s_j, s_i = 2 cu r_i^2 + absolute (s_j rounded up in
// float: the column's slack w_j). T, never below the k-th smallest exact distance, is
// n_i + s_i plus an upper bound of the k-th smallest key + w_j kept; every column with
// a_ij - b_ij <= T, that is key - w_j <= T - n_i + s_i, is kept: every true neighbour,
// and every point tied with the k-th. Too many kept against T (data the float pass
// cannot tell apart) sends the point to the exact pass over all.
//
// The kernels append what passes T but never lower it; once the buffer (2k) is full, a
// selection by halving the uppers' range finds an upper bound at or just above the
// k-th smallest, lowers T and drops what T now refuses. T lags behind the k-th
// offered, so more columns are offered (about 800 per point at N = 20000, k = 91,
// against some 580 for a T kept exact), but an offer costs only a few stores. A cap
// guessed from a sample (exact_caps.hpp) stands in for T while T lies above it: about
// 250 offers per point then, and some 85 more in the sample's own pass.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>
#include <vector>

#include "affinities/exact_distances.hpp"
#include "affinities/exact_prepare.hpp"
#include "affinities/exact_select.hpp"
#include "affinities/exact_tile.hpp"

namespace tsneloss::affinities::detail {

// What every point's candidates share.
struct CandidateContext {
  const double* x = nullptr;         // the points, in double
  const float* x_single = nullptr;   // or in float (x then null)
  std::size_t n = 0;
  std::size_t d = 0;
  std::size_t k = 0;
  std::size_t capacity = 0;  // kept candidates that start a selection
  const Prepared* prepared = nullptr;
  const double* caps = nullptr;  // each point's guessed cap (exact_caps.hpp), or null
  SelectKernels select;
  // Every point's buffer (parked ones' too), capacity + kPanel entries each, point after
  // point in three arrays: one allocation each, left unset until written.
  float* lower = nullptr;
  float* upper = nullptr;
  std::int32_t* index = nullptr;
};

// The type of the points a pointer `Pointer` reaches.
template <typename Pointer>
using Real = std::remove_const_t<std::remove_pointer_t<Pointer>>;

// measure(points) on the context's points, as given.
template <typename Measure>
void OnPoints(const CandidateContext& context, const Measure& measure) {
  if (context.x_single != nullptr) {
    measure(context.x_single);
  } else {
    measure(context.x);
  }
}

class CandidateRow {
 public:
  // Starts point i, keeping nothing, with no threshold.
  void Start(const CandidateContext& context, std::size_t i);
  // Row i past the last point: room for the kernels to write, and nothing kept.
  void Park(const CandidateContext& context, std::size_t i);
  // Where the kernels append this row's offers.
  Candidates& candidates() { return candidates_; }
  // Whether the buffer is full: Settle() before the next panel.
  bool full() const { return candidates_.size >= capacity_; }
  // T from the halvings' bound, and the columns T refuses dropped; too few dropped is
  // an overflow.
  void Settle();
  // The kernel's threshold for this row: a column whose key - w_j lies above it is no neighbour.
  float limit() const { return limit_; }
  // Writes the point's k neighbours, measured exactly; true when they were measured
  // against all points (`cap_missed` then tells whether for a cap guessed too low).
  // `exact` and `ranked` are the caller's, reused.
  bool Finish(std::int32_t* indices, float* distances, std::vector<double>& exact, std::vector<Ranked>& ranked,
              bool& cap_missed);

 private:
  // Lowers T to an upper bound kept, the k-th smallest or a little above (widened),
  // and drops what the kernel would now refuse.
  void Select();
  // Lowers T to `bound` (>= the k-th smallest key + w_j offered) and sets limit().
  void Lower(double bound);
  // limit() from T or the cap, whichever is lower.
  void Limit();
  // Whether the cap refused no neighbour: T lies at or under it, or k kept uppers do.
  bool CapHeld() const;
  // Takes row i's buffer in the context's arrays, empty.
  void Empty(const CandidateContext& context, std::size_t i);

  const CandidateContext* context_ = nullptr;
  std::size_t i_ = 0;
  std::size_t k_ = 0;
  std::size_t capacity_ = 0;
  double own_ = 0;        // s_i
  double threshold_ = 0;  // T - n_i - s_i
  double cap_ = 0;        // the guessed cap, in the same units
  float limit_ = 0;
  bool overflowed_ = false;
  Candidates candidates_;
};

}  // namespace tsneloss::affinities::detail
