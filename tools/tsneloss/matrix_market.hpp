// Reading P from a Matrix Market coordinate file (real or integer, general or
// symmetric, N by N) and packing it the way the module takes it: per-column counts,
// one-based row indices and values, column after column.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tsneloss {

struct SparseColumns {
  std::uint64_t n = 0;
  std::vector<double> column_counts;
  std::vector<double> row_indices;  // one-based
  std::vector<double> values;
};

// In a symmetric file each entry off the diagonal stands for (i, j) and (j, i). Within
// a column, entries keep the order of the file. Throws InputError.
SparseColumns ReadMatrixMarket(const std::string& path);

}  // namespace tsneloss
