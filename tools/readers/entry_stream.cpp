#include "entry_stream.hpp"

#include <algorithm>
#include <cmath>
#include <new>
#include <optional>
#include <utility>
#include <vector>

#include "input_error.hpp"

namespace tsneloss {
namespace {

// Columns up to this long are sorted by insertion: t-SNE's hold about 90 entries.
constexpr std::uint64_t kInsertionSortLength = 256;

// Sorts one column's entries by row, keeping the given order among equal rows, and
// adds repeated rows together into the front of the column. Returns the positions
// kept; counts the merged ones.
std::uint64_t SortAndMergeColumn(double* rows, double* values, std::uint64_t count, std::uint64_t column,
                                 std::vector<std::pair<double, double>>& scratch, std::uint64_t& merged,
                                 const std::string& source) {
  bool increasing = true;
  for (std::uint64_t k = 1; k < count && increasing; ++k) increasing = rows[k - 1] < rows[k];
  if (increasing) return count;
  scratch.clear();
  for (std::uint64_t k = 0; k < count; ++k) scratch.emplace_back(rows[k], values[k]);
  const auto by_row = [](const auto& a, const auto& b) { return a.first < b.first; };
  if (count <= kInsertionSortLength) {
    // Stable: an entry moves only past greater rows.
    for (std::size_t k = 1; k < scratch.size(); ++k) {
      const auto entry = scratch[k];
      std::size_t at = k;
      for (; at > 0 && by_row(entry, scratch[at - 1]); --at) scratch[at] = scratch[at - 1];
      scratch[at] = entry;
    }
  } else {
    std::stable_sort(scratch.begin(), scratch.end(), by_row);
  }
  std::uint64_t kept = 0;
  for (std::size_t at = 0; at < scratch.size();) {
    double sum = scratch[at].second;
    std::size_t next = at + 1;
    for (; next < scratch.size() && scratch[next].first == scratch[at].first; ++next) sum += scratch[next].second;
    if (next - at > 1) {
      ++merged;
      if (!std::isfinite(sum)) {
        throw InputError(source, "the values given for row " + std::to_string(static_cast<std::uint64_t>(scratch[at].first) - 1) +
                                     ", column " + std::to_string(column) +
                                     " (zero-based) add up to more than the largest double");
      }
    }
    rows[kept] = scratch[at].first;
    values[kept] = sum;
    ++kept;
    at = next;
  }
  return kept;
}

}  // namespace

PackedSize PackEntries(std::uint64_t n, EntryStream& entries, const ColumnAllocator& allocate, const std::string& source) {
  // First pass: check (the stream does) and count each column's entries. Where room
  // can be set aside first, entries are placed too, for as long as they come column
  // after column.
  std::vector<std::uint64_t> next(n + 1, 0);
  const auto bound = entries.EntryBound();
  std::optional<ColumnArrays> arrays;
  if (bound) {
    try {
      arrays = allocate(n, *bound);
    } catch (const std::bad_alloc&) {
      // A bound far above the entries (a compressed file's, say): count them first.
      arrays.reset();
    }
  }
  bool in_order = arrays.has_value();
  std::uint64_t placed = 0;
  std::int64_t last_column = 0;
  entries.ForEach([&](const EntryBlock& block) {
    for (const std::int64_t column : block.columns) ++next[static_cast<std::uint64_t>(column) + 1];
    for (std::size_t k = 0; in_order && k < block.values.size(); ++k) {
      in_order = block.columns[k] >= last_column && placed < *bound;
      if (!in_order) break;
      last_column = block.columns[k];
      arrays->row_indices[placed] = static_cast<double>(block.rows[k] + 1);
      arrays->values[placed] = block.values[k];
      ++placed;
    }
  });
  for (std::uint64_t j = 0; j < n; ++j) next[j + 1] += next[j];
  const std::uint64_t total = next[n];
  if (total == 0) throw InputError(source, "P has no stored entries");

  if (in_order) {
    // Every entry is in place: next[j + 1] is where column j ends.
    next.erase(next.begin());
  } else {
    if (!arrays || total > *bound) arrays = allocate(n, total);
    // Second pass: each entry straight to its column's next free place, so a
    // column's entries keep the order given.
    placed = 0;
    entries.ForEach([&](const EntryBlock& block) {
      for (std::size_t k = 0; k < block.values.size(); ++k) {
        const std::uint64_t at = next[static_cast<std::uint64_t>(block.columns[k])]++;
        arrays->row_indices[at] = static_cast<double>(block.rows[k] + 1);
        arrays->values[at] = block.values[k];
      }
      placed += block.values.size();
    });
    if (placed != total) throw InputError(source, "the file changed while it was read");
  }

  // next[j] is now where column j ends. Sort and merge each column, then close the
  // gaps merging left.
  PackedSize size;
  std::vector<std::pair<double, double>> scratch;
  std::uint64_t write = 0;
  for (std::uint64_t j = 0; j < n; ++j) {
    const std::uint64_t begin = j == 0 ? 0 : next[j - 1];
    const std::uint64_t count = next[j] - begin;
    const std::uint64_t kept = SortAndMergeColumn(arrays->row_indices + begin, arrays->values + begin, count, j, scratch,
                                                  size.merged_positions, source);
    if (write != begin) {
      std::copy(arrays->row_indices + begin, arrays->row_indices + begin + kept, arrays->row_indices + write);
      std::copy(arrays->values + begin, arrays->values + begin + kept, arrays->values + write);
    }
    arrays->column_counts[j] = static_cast<double>(kept);
    write += kept;
  }
  size.nnz = write;
  return size;
}

}  // namespace tsneloss
