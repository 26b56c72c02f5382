// P packed the way the module takes it: per-column counts, one-based row indices and
// values, column after column, each position once. Packing (PackEntries) is the one
// place where entries given as (row, column, value) triplets are sorted and merged,
// for files and for arrays alike.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "core/entry_packing.hpp"
#include "core/input_rules.hpp"

namespace tsneloss::core {

struct SparseColumns {
  std::uint64_t n = 0;
  std::vector<double> column_counts;
  std::vector<double> row_indices;  // one-based, increasing within each column
  std::vector<double> values;
  // Positions that were given more than once; their values were added together.
  std::uint64_t merged_positions = 0;
};

// Packs an N-by-N P from zero-based triplets. Entries at one position are added
// together in the order given. Throws InputError naming "element k" of the arrays for
// an index outside 0 to N-1 or a value that is NaN, infinite or negative, and naming
// `source` alone for arrays of different lengths, for no entries at all, or for a
// sum of repeated entries that overflows. O(nnz log nnz) at worst.
SparseColumns PackColumns(std::uint64_t n, std::span<const std::int64_t> rows, std::span<const std::int64_t> columns,
                          std::span<const double> values, const std::string& source);

// Throws InputError naming "element k" of `source` for the part of the entry
// (zero-based row, column and value of an N-by-N P) that FirstFault refused.
[[noreturn]] void ThrowEntryFault(EntryPart part, std::uint64_t k, std::int64_t row, std::int64_t column, double value,
                                  std::uint64_t n, const std::string& source);

// The one check of an entry that is element k of arrays in memory: throws as
// ThrowEntryFault where FirstFault refuses it.
inline void CheckElement(std::uint64_t k, std::int64_t row, std::int64_t column, double value, std::uint64_t n,
                         const std::string& source) {
  const EntryPart part = FirstFault(row, column, value, n);
  if (part != EntryPart::kNone) ThrowEntryFault(part, k, row, column, value, n, source);
}

// Packs the entries of a reader's stream into a SparseColumns. Throws InputError.
SparseColumns PackIntoVectors(std::uint64_t n, EntryStream& entries, const std::string& source);

}  // namespace tsneloss::core
