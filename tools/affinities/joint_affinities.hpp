// The joint P of t-SNE from each point's conditional affinities:
// P = (C + C^T) / sum(C + C^T), where row i of C holds point i's conditional p_j.
#pragma once

#include <cstddef>
#include <cstdint>

#include "support/large_vector.hpp"

namespace tsneloss::affinities {

using support::LargeVector;

// An n-by-n sparse matrix in compressed rows, columns increasing within each row.
struct SparseRows {
  std::size_t n = 0;
  LargeVector<std::int64_t> row_starts;  // n + 1
  LargeVector<std::int32_t> columns;
  LargeVector<double> values;
};

// P with how many of its points' searches did not meet the perplexity.
struct SearchedP {
  SparseRows p;
  std::size_t unmet_points = 0;
};

// C given as n rows of k (column, value) pairs, columns increasing within each row and
// never the row's own; returns the normalised P, symmetric to the bit, summed and
// scaled as t-SNE does with SciPy, so the same C gives the same bits.
SparseRows JointAffinities(const std::int32_t* columns, const double* conditional, std::size_t n, std::size_t k,
                           unsigned threads);

// Puts each row of n rows of k neighbours into increasing index order, carrying the
// squared distances along; a repeated index keeps its entries' order.
void SortRowsByIndex(std::int32_t* indices, float* squared_distances, std::size_t n, std::size_t k,
                     unsigned threads);

}  // namespace tsneloss::affinities
