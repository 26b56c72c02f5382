// Reading P from a Matrix Market coordinate file (real or integer, general or
// symmetric, N by N) and packing it the way the module takes it.
#pragma once

#include <cstdint>
#include <string>

#include "input_source.hpp"
#include "sparse_columns.hpp"

namespace tsneloss {

// What P must agree with: the embedding, read first.
struct EmbeddingShape {
  std::uint64_t points = 0;
  std::uint64_t dimension = 0;
  std::string name;
};

// In a symmetric file each entry off the diagonal stands for (i, j) and (j, i);
// positions given more than once are added together (see PackColumns). The declared
// sizes are checked against the embedding and against the bytes the file has left
// before anything is allocated from them. Throws InputError with line and column.
SparseColumns ReadMatrixMarket(InputSource& source, const EmbeddingShape& embedding);

}  // namespace tsneloss
