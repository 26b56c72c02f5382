// Each point's conditional affinities to its neighbours at a given perplexity.
//
// For point i with squared distances d_j to its neighbours, a precision beta is
// sought by bisection so that the entropy of p_j = exp(-d_j beta) / sum exp(-d_m beta)
// equals ln(perplexity): beta starts at 1 with open bounds, is doubled or halved
// while a bound is still open and moved half way to it after, for at most 100 steps
// or until the entropy is within 1e-5. The arithmetic is t-SNE's own, step for step,
// so the same distances give the same p_j.
//
// That arithmetic underflows when every neighbour is farther than beta's 100 halvings
// reach (squared distances above about 1e33) or the perplexity is far below 1: every
// p_j is then 0. The scaled search takes the same p_j over distances shifted by the
// nearest (whose term is exp(0) = 1, so the sum never vanishes) and measured in units
// of the widest finite gap, bisecting log2(beta) over a range that reaches every gap
// a float can hold.
#pragma once

#include <cstddef>
#include <limits>

namespace tsneloss::affinities {

enum class PrecisionSearch {
  kTsne,    // t-SNE's own arithmetic, bit for bit
  kScaled,  // never underflows: for rows where t-SNE's gives no P
};

struct RowSearch {
  // t-SNE's search: the beta used, or the next it would try when unmet; the scaled
  // search's: the beta used, in units of the row's widest gap.
  double beta = 0;
  bool met = false;  // the entropy came within the tolerance of ln(perplexity)
};

namespace detail {

inline constexpr int kMaxSearchSteps = 100;
inline constexpr double kEntropyTolerance = 1e-5;
// A row whose every p_j underflows would divide by zero; t-SNE takes this sum instead.
inline constexpr double kEmptySum = 1e-8;

// t-SNE's bisection of one row's beta, between the steps that sum its terms. Out of
// line, so that files built for wider instruction sets share the plain build's code.
struct Bisection {
  double beta = 1.0;
  double low = -std::numeric_limits<double>::infinity();
  double high = std::numeric_limits<double>::infinity();

  // With `sum` the terms' sum (kEmptySum for 0) and `weighted` the sum of d_j p_j:
  // true when the entropy is within the tolerance; else beta moves on.
  bool Met(double sum, double weighted, double wanted_entropy);
  // beta's next value after an entropy `entropy_excess` above the wanted (below, if negative).
  void Move(double entropy_excess);
};

}  // namespace detail

// The p_j of one point from its `count` squared distances, summed in the order given;
// writes `count` values to `conditional`.
RowSearch ConditionalRow(const float* squared_distances, std::size_t count, double perplexity, double* conditional);

// The scaled search of the same row: every p_j finite, adding up to 1, whatever the
// distances (+inf included); the same bits for distances all scaled by a power of 2.
RowSearch ScaledConditionalRow(const float* squared_distances, std::size_t count, double perplexity,
                               double* conditional);

// The chosen search for each of n rows of k distances, row after row, on `threads`
// threads (0: one per hardware thread); writes n * k values and returns how many
// rows did not meet the perplexity.
std::size_t ConditionalRows(const float* squared_distances, std::size_t n, std::size_t k, double perplexity,
                            PrecisionSearch search, unsigned threads, double* conditional);

}  // namespace tsneloss::affinities
