// P given as a dense N-by-N array: its non-zero values are its stored entries.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "core/sparse_columns.hpp"

namespace tsneloss {

// Packs a row-major N-by-N buffer as the module takes it, zeros left out. Throws
// InputError naming `source`'s "element k" (NumPy's flat index) at the first value
// that is NaN, infinite or negative, and `source` alone when P has no value other
// than zero or the buffer does not hold N * N values.
SparseColumns PackDense(std::span<const double> row_major, std::uint64_t n, const std::string& source);

}  // namespace tsneloss
