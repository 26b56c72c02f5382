#include "core/column_merge.hpp"

#include <algorithm>
#include <cmath>

#include "core/input_error.hpp"
#include "support/parallel.hpp"

namespace tsneloss::core {
namespace {

// What sorting a column needs, kept from column to column.
struct ColumnScratch {
  std::vector<std::uint64_t> keys;
  std::vector<double> values;
};

// Sorts one column's entries by row, keeping the given order among equal rows, and
// adds repeated rows together into the front of the column. Returns the positions
// kept; counts the merged ones.
std::uint64_t SortAndMergeColumn(double* rows, double* values, std::uint64_t count, std::uint64_t column,
                                 ColumnScratch& scratch, std::uint64_t& merged, const std::string& source) {
  bool increasing = true;
  for (std::uint64_t k = 1; k < count && increasing; ++k) increasing = rows[k - 1] < rows[k];
  if (increasing) return count;
  // Sorted as (row, place given) pairs packed into one word: all keys differ, so any
  // sort keeps the given order among equal rows. Rows and places fit 32 bits, as the
  // module needs N and the entries below 2^31.
  scratch.keys.resize(count);
  scratch.values.assign(values, values + count);
  for (std::uint64_t k = 0; k < count; ++k) scratch.keys[k] = static_cast<std::uint64_t>(rows[k]) << 32 | k;
  std::sort(scratch.keys.begin(), scratch.keys.end());
  std::uint64_t kept = 0;
  for (std::size_t at = 0; at < count;) {
    const std::uint64_t row = scratch.keys[at] >> 32;
    double sum = scratch.values[scratch.keys[at] & 0xFFFFFFFF];
    std::size_t next = at + 1;
    for (; next < count && scratch.keys[next] >> 32 == row; ++next) sum += scratch.values[scratch.keys[next] & 0xFFFFFFFF];
    if (next - at > 1) {
      ++merged;
      if (!std::isfinite(sum)) {
        throw InputError(source, "the values given for row " + std::to_string(row - 1) + ", column " +
                                     std::to_string(column) + " (zero-based) add up to more than the largest double");
      }
    }
    rows[kept] = static_cast<double>(row);
    values[kept] = sum;
    ++kept;
    at = next;
  }
  return kept;
}

}  // namespace

std::uint64_t SortAndMergeColumns(std::uint64_t n, const std::vector<std::uint64_t>& ends, const ColumnArrays& arrays,
                                  unsigned threads, const std::string& source) {
  const std::uint64_t total = n == 0 ? 0 : ends[n - 1];
  const unsigned parts = total < (std::uint64_t{1} << 16) ? 1 : std::max(1u, threads);
  std::vector<std::uint64_t> merged(parts, 0);
  const auto sort_part = [&](std::size_t part, unsigned) {
    // Columns from the one holding the part's first share of the entries.
    const auto first_column = [&](std::size_t k) {
      return static_cast<std::uint64_t>(std::lower_bound(ends.begin(), ends.begin() + static_cast<std::ptrdiff_t>(n),
                                                         total * k / parts + (k == 0 ? 0 : 1)) - ends.begin());
    };
    const std::uint64_t from = part == 0 ? 0 : first_column(part);
    const std::uint64_t to = part + 1 == parts ? n : first_column(part + 1);
    ColumnScratch scratch;
    for (std::uint64_t j = from; j < to; ++j) {
      const std::uint64_t begin = j == 0 ? 0 : ends[j - 1];
      arrays.column_counts[j] = static_cast<double>(SortAndMergeColumn(
          arrays.row_indices + begin, arrays.values + begin, ends[j] - begin, j, scratch, merged[part], source));
    }
  };
  support::ParallelFor(parts, {parts, {}}, sort_part);
  std::uint64_t all = 0;
  for (const std::uint64_t count : merged) all += count;
  return all;
}

std::uint64_t CloseGaps(std::uint64_t n, const std::vector<std::uint64_t>& ends, const ColumnArrays& arrays) {
  std::uint64_t write = 0;
  for (std::uint64_t j = 0; j < n; ++j) {
    const std::uint64_t begin = j == 0 ? 0 : ends[j - 1];
    const auto kept = static_cast<std::uint64_t>(arrays.column_counts[j]);
    if (write != begin) {
      std::copy(arrays.row_indices + begin, arrays.row_indices + begin + kept, arrays.row_indices + write);
      std::copy(arrays.values + begin, arrays.values + begin + kept, arrays.values + write);
    }
    write += kept;
  }
  return write;
}

}  // namespace tsneloss::core
