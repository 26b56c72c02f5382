// The loss of each point: point i's share is the loss over column i of P alone, the
// stored entries (j, i) pairing y_i with y_j, computed by the module's own kernel run
// on that one column. The shares add up to the loss up to rounding (the module carries
// one running sum across all columns, not one per column).
#pragma once

#include <vector>

#include "core/embedding.hpp"
#include "core/sparse_columns.hpp"

namespace tsneloss::core {

// One share per point, in double or, with `single`, in single precision (Y, P and Z
// rounded to float first, as the module takes them; returned widened to double,
// which is exact). Expects what the module's checks pass: P of order N, its row
// indices whole numbers from 1 to N.
std::vector<double> PerPointShares(const Embedding& y, const SparseColumns& p, double z, bool single);
// The same on P's three arrays as the module takes them.
std::vector<double> PerPointShares(const Embedding& y, const double* column_counts, const double* row_indices,
                                   const double* values, double z, bool single);

}  // namespace tsneloss::core
