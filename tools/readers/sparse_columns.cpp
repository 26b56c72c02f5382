#include "sparse_columns.hpp"

#include <algorithm>
#include <cmath>

#include "input_error.hpp"
#include "value_rules.hpp"

namespace tsneloss {
namespace {

void CheckEntries(std::uint64_t n, std::span<const std::int64_t> rows, std::span<const std::int64_t> columns,
                  std::span<const double> values, const std::string& source) {
  if (rows.size() != columns.size() || rows.size() != values.size()) {
    throw InputError(source, "rows, columns and values have different lengths (" + std::to_string(rows.size()) + ", " +
                                 std::to_string(columns.size()) + ", " + std::to_string(values.size()) + ")");
  }
  if (values.empty()) throw InputError(source, "P has no stored entries");
  const std::string range = " is outside 0 to " + (n == 0 ? std::string("-1") : std::to_string(n - 1));
  for (std::size_t k = 0; k < values.size(); ++k) {
    if (rows[k] < 0 || static_cast<std::uint64_t>(rows[k]) >= n) {
      throw InputError::AtElement(source, k, "row index " + std::to_string(rows[k]) + range);
    }
    if (columns[k] < 0 || static_cast<std::uint64_t>(columns[k]) >= n) {
      throw InputError::AtElement(source, k, "column index " + std::to_string(columns[k]) + range);
    }
    const std::string fault = AffinityFault(values[k]);
    if (!fault.empty()) throw InputError::AtElement(source, k, fault);
  }
}

}  // namespace

SparseColumns PackColumns(std::uint64_t n, std::span<const std::int64_t> rows, std::span<const std::int64_t> columns,
                          std::span<const double> values, const std::string& source) {
  CheckEntries(n, rows, columns, values, source);

  // A counting sort by column keeps the given order within each column; each column
  // is then sorted by row, stably, so repeated positions sum in the given order.
  std::vector<std::uint64_t> column_start(n + 1, 0);
  for (const std::int64_t column : columns) ++column_start[static_cast<std::uint64_t>(column) + 1];
  for (std::uint64_t j = 0; j < n; ++j) column_start[j + 1] += column_start[j];
  std::vector<std::uint64_t> order(values.size());
  {
    std::vector<std::uint64_t> next(column_start.begin(), column_start.end() - 1);
    for (std::size_t k = 0; k < values.size(); ++k) order[next[static_cast<std::uint64_t>(columns[k])]++] = k;
  }

  SparseColumns p;
  p.n = n;
  p.column_counts.assign(n, 0.0);
  p.row_indices.reserve(values.size());
  p.values.reserve(values.size());
  const auto by_row = [&](std::uint64_t a, std::uint64_t b) { return rows[a] < rows[b]; };
  for (std::uint64_t j = 0; j < n; ++j) {
    const auto first = order.begin() + static_cast<std::ptrdiff_t>(column_start[j]);
    const auto last = order.begin() + static_cast<std::ptrdiff_t>(column_start[j + 1]);
    std::stable_sort(first, last, by_row);
    for (auto at = first; at != last;) {
      const std::int64_t row = rows[*at];
      double sum = values[*at];
      auto next = at + 1;
      for (; next != last && rows[*next] == row; ++next) sum += values[*next];
      if (next - at > 1) {
        ++p.merged_positions;
        if (!std::isfinite(sum)) {
          throw InputError(source, "the values given for row " + std::to_string(row) + ", column " + std::to_string(j) +
                                       " (zero-based) add up to more than the largest double");
        }
      }
      p.row_indices.push_back(static_cast<double>(row + 1));
      p.values.push_back(sum);
      p.column_counts[j] += 1;
      at = next;
    }
  }
  return p;
}

}  // namespace tsneloss
