#include "core/column_merge.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "core/destination_sort.hpp"
#include "core/input_error.hpp"
#include "support/parallel.hpp"

namespace tsneloss::core {
namespace {

// A column's rows, one-based, as they stand.
enum class RowOrder { kIncreasing, kNeverDecreasing, kUnsorted };

RowOrder OrderOf(const double* rows, std::uint64_t count) {
  RowOrder order = RowOrder::kIncreasing;
  for (std::uint64_t k = 1; k < count; ++k) {
    if (rows[k - 1] > rows[k]) return RowOrder::kUnsorted;
    if (rows[k - 1] == rows[k]) order = RowOrder::kNeverDecreasing;
  }
  return order;
}

// Sorts a column's entries by row in place, keeping the given order among equal
// rows: (row, place given) keys, all different, sorted in the row slots themselves,
// then the values moved along the sort's cycles. Nothing the column's size is set
// aside, however long the column (a P of millions of repeats of one position). Rows
// and places fit 32 bits, as the module needs N and the entries below 2^31.
void SortByRow(double* rows, double* values, std::uint64_t count) {
  for (std::uint64_t k = 0; k < count; ++k) StoreKey(rows + k, static_cast<std::uint64_t>(rows[k]) << 32 | k);
  // The slots taken as the integers they now hold (memmove starts their lifetime).
  auto* keys = static_cast<std::uint64_t*>(std::memmove(rows, rows, count * sizeof *rows));
  std::sort(keys, keys + count);
  constexpr std::uint64_t kPlace = 0xFFFFFFFF;
  for (std::uint64_t start = 0; start < count; ++start) {
    // Each key's place, once its value is there, becomes its own: the cycle is done.
    if ((keys[start] & kPlace) == start) continue;
    const double carried = values[start];
    for (std::uint64_t at = start;;) {
      const std::uint64_t from = keys[at] & kPlace;
      keys[at] = (keys[at] & ~kPlace) | at;
      if (from == start) {
        values[at] = carried;
        break;
      }
      values[at] = values[from];
      at = from;
    }
  }
  auto* slots = static_cast<double*>(std::memmove(keys, keys, count * sizeof *keys));
  for (std::uint64_t k = 0; k < count; ++k) slots[k] = static_cast<double>(LoadKey(slots + k) >> 32);
}

// Adds each run of equal rows (rows never decreasing) together into the front of the
// column, in the order given. Returns the positions kept; counts the merged ones.
std::uint64_t MergeEqualRows(double* rows, double* values, std::uint64_t count, std::uint64_t column,
                             std::uint64_t& merged, const std::string& source) {
  std::uint64_t kept = 0;
  for (std::uint64_t at = 0; at < count;) {
    const double row = rows[at];
    double sum = values[at];
    std::uint64_t next = at + 1;
    for (; next < count && rows[next] == row; ++next) sum += values[next];
    if (next - at > 1) {
      ++merged;
      if (!std::isfinite(sum)) {
        throw InputError(source, "the values given for row " + std::to_string(static_cast<std::uint64_t>(row) - 1) +
                                     ", column " + std::to_string(column) +
                                     " (zero-based) add up to more than the largest double");
      }
    }
    rows[kept] = row;
    values[kept] = sum;
    ++kept;
    at = next;
  }
  return kept;
}

// Sorts one column's entries by row, keeping the given order among equal rows, and
// adds repeated rows together into the front of the column. Returns the positions
// kept; counts the merged ones.
std::uint64_t SortAndMergeColumn(double* rows, double* values, std::uint64_t count, std::uint64_t column,
                                 std::uint64_t& merged, const std::string& source) {
  const RowOrder order = OrderOf(rows, count);
  if (order == RowOrder::kIncreasing) return count;
  if (order == RowOrder::kUnsorted) SortByRow(rows, values, count);
  return MergeEqualRows(rows, values, count, column, merged, source);
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
    for (std::uint64_t j = from; j < to; ++j) {
      const std::uint64_t begin = j == 0 ? 0 : ends[j - 1];
      arrays.column_counts[j] = static_cast<double>(SortAndMergeColumn(
          arrays.row_indices + begin, arrays.values + begin, ends[j] - begin, j, merged[part], source));
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

PackedSize SortMergeAndClose(std::uint64_t n, const std::vector<std::uint64_t>& ends, const ColumnArrays& arrays,
                             unsigned threads, const std::string& source) {
  PackedSize size;
  size.merged_positions = SortAndMergeColumns(n, ends, arrays, threads, source);
  size.nnz = CloseGaps(n, ends, arrays);
  return size;
}

}  // namespace tsneloss::core
