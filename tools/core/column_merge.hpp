// Each column of packed P sorted by row and its repeated rows added together, then
// the columns closed up over the room merging freed.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/entry_packing.hpp"

namespace tsneloss::core {

// Sorts and merges every column of the `arrays` (row slots one-based, each column's
// entries in the order given), columns split over `threads` threads by their
// entries; each column's kept count goes to column_counts. `ends[j]` is where column
// j ends. Returns the positions merged. Throws InputError naming `source` for values
// of one position adding up past the largest double, the lowest column's first.
std::uint64_t SortAndMergeColumns(std::uint64_t n, const std::vector<std::uint64_t>& ends, const ColumnArrays& arrays,
                                  unsigned threads, const std::string& source);

// Moves each column's kept entries (column_counts, from where the column began, as
// `ends` says) left against the column before. Returns the positions kept.
std::uint64_t CloseGaps(std::uint64_t n, const std::vector<std::uint64_t>& ends, const ColumnArrays& arrays);

// Both: every column sorted and merged, then the gaps closed.
PackedSize SortMergeAndClose(std::uint64_t n, const std::vector<std::uint64_t>& ends, const ColumnArrays& arrays,
                             unsigned threads, const std::string& source);

}  // namespace tsneloss::core
