#include "affinities/joint_affinities.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <functional>
#include <numeric>
#include <utility>
#include <vector>

#include "affinities/pairwise_sum.hpp"
#include "affinities/row_sort.hpp"
#include "support/parallel.hpp"

namespace tsneloss::affinities {
namespace {

constexpr std::size_t kRowsPerTask = 4096;

void ForRowBlocks(std::size_t n, unsigned threads, const std::function<void(std::size_t, std::size_t)>& rows) {
  const std::size_t tasks = (n + kRowsPerTask - 1) / kRowsPerTask;
  support::ParallelFor(tasks, {threads, {}}, [&](std::size_t task, unsigned) {
    rows(task * kRowsPerTask, std::min(n, (task + 1) * kRowsPerTask));
  });
}

// One row of a sparse matrix: `count` columns, increasing, and their values.
struct SparseRow {
  const std::int32_t* columns;
  const double* values;
  std::size_t count;
};

// C^T in compressed rows: row j lists the i that hold j, in increasing i.
struct TransposedRows {
  std::vector<std::int64_t> starts;  // n + 1
  LargeVector<std::int32_t> columns;
  LargeVector<double> values;

  SparseRow Row(std::size_t i) const {
    const auto start = static_cast<std::size_t>(starts[i]);
    return {columns.data() + start, values.data() + start, static_cast<std::size_t>(starts[i + 1]) - start};
  }
};

// Each of `parts` runs of rows counts its columns, then writes its entries after the
// earlier runs' entries of the same column, so each row of C^T is in increasing i.
TransposedRows Transposed(const std::int32_t* columns, const double* conditional, std::size_t n, std::size_t k,
                          unsigned threads) {
  TransposedRows transposed{std::vector<std::int64_t>(n + 1, 0), LargeVector<std::int32_t>(n * k),
                            LargeVector<double>(n * k)};
  const std::size_t parts = support::ThreadCount(threads);
  const std::size_t rows_per_part = (n + parts - 1) / parts;
  std::vector<std::vector<std::int64_t>> next(parts, std::vector<std::int64_t>(n, 0));
  const support::Parallel parallel{threads, {}};
  support::ParallelFor(parts, parallel, [&](std::size_t part, unsigned) {
    const std::size_t end = std::min(n, (part + 1) * rows_per_part) * k;
    for (std::size_t e = std::min(n, part * rows_per_part) * k; e < end; ++e) {
      ++next[part][static_cast<std::size_t>(columns[e])];
    }
  });
  std::vector<std::int64_t>& starts = transposed.starts;
  for (std::size_t j = 0; j < n; ++j) {
    std::int64_t at = starts[j];
    for (std::vector<std::int64_t>& counts : next) at += std::exchange(counts[j], at);
    starts[j + 1] = at;
  }
  support::ParallelFor(parts, parallel, [&](std::size_t part, unsigned) {
    std::vector<std::int64_t>& slots = next[part];
    for (std::size_t i = part * rows_per_part; i < std::min(n, (part + 1) * rows_per_part); ++i) {
      for (std::size_t m = 0; m < k; ++m) {
        const auto slot = static_cast<std::size_t>(slots[static_cast<std::size_t>(columns[i * k + m])]++);
        transposed.columns[slot] = static_cast<std::int32_t>(i);
        transposed.values[slot] = conditional[i * k + m];
      }
    }
  });
  return transposed;
}

// Row i of P is the merge of row i of C and row i of C^T; a position in both is
// their sum, which is the same sum (a + b = b + a) at (i, j) and at (j, i). Writes
// the merged row unless `out_columns` is null; returns its length. Without branches
// on the columns, which would be mispredicted at every other step: a position in one
// row only takes its value plus +0, which is the value itself (values are never -0).
std::size_t MergedRow(const SparseRow& a, const SparseRow& b, std::int32_t* out_columns, double* out_values) {
  std::size_t at_a = 0;
  std::size_t at_b = 0;
  std::size_t count = 0;
  // Selections by masks: the compiler turns conditional expressions back into branches.
  const auto kept = [](double value, bool keep) {
    return std::bit_cast<double>(std::bit_cast<std::uint64_t>(value) & (0 - static_cast<std::uint64_t>(keep)));
  };
  while (at_a != a.count && at_b != b.count) {
    const std::int32_t column_a = a.columns[at_a];
    const std::int32_t column_b = b.columns[at_b];
    const bool from_a = column_a <= column_b;
    const bool from_b = column_b <= column_a;
    if (out_columns != nullptr) {
      out_columns[count] = column_b ^ ((column_a ^ column_b) & -static_cast<std::int32_t>(from_a));
      out_values[count] = kept(a.values[at_a], from_a) + kept(b.values[at_b], from_b);
    }
    at_a += static_cast<std::size_t>(from_a);
    at_b += static_cast<std::size_t>(from_b);
    ++count;
  }
  const SparseRow& rest = at_a != a.count ? a : b;
  const std::size_t from = at_a != a.count ? at_a : at_b;
  if (out_columns != nullptr) {
    std::copy(rest.columns + from, rest.columns + rest.count, out_columns + count);
    std::copy(rest.values + from, rest.values + rest.count, out_values + count);
  }
  return count + rest.count - from;
}

// C + C^T: each row's length counted first, then the rows written in place.
SparseRows Merged(const std::int32_t* columns, const double* conditional, std::size_t n, std::size_t k,
                  const TransposedRows& transposed, unsigned threads) {
  const auto row_of_c = [&](std::size_t i) { return SparseRow{columns + i * k, conditional + i * k, k}; };
  SparseRows p;
  p.n = n;
  p.row_starts.assign(n + 1, 0);
  ForRowBlocks(n, threads, [&](std::size_t first, std::size_t end) {
    for (std::size_t i = first; i < end; ++i) {
      p.row_starts[i + 1] = static_cast<std::int64_t>(MergedRow(row_of_c(i), transposed.Row(i), nullptr, nullptr));
    }
  });
  std::partial_sum(p.row_starts.begin(), p.row_starts.end(), p.row_starts.begin());
  const std::size_t nnz = static_cast<std::size_t>(p.row_starts[n]);
  p.columns.resize(nnz);
  p.values.resize(nnz);
  ForRowBlocks(n, threads, [&](std::size_t first, std::size_t end) {
    for (std::size_t i = first; i < end; ++i) {
      const std::size_t start = static_cast<std::size_t>(p.row_starts[i]);
      MergedRow(row_of_c(i), transposed.Row(i), p.columns.data() + start, p.values.data() + start);
    }
  });
  return p;
}

// Summed as SciPy sums a sparse matrix: each row in order, then the row sums
// pairwise as NumPy adds an array, so that P is t-SNE's to the last bit or two.
double SumOf(const SparseRows& p, unsigned threads) {
  std::vector<double> row_sums(p.n, 0.0);
  ForRowBlocks(p.n, threads, [&](std::size_t first, std::size_t end) {
    for (std::size_t i = first; i < end; ++i) {
      double row_sum = 0;
      for (auto e = p.row_starts[i]; e < p.row_starts[i + 1]; ++e) row_sum += p.values[static_cast<std::size_t>(e)];
      row_sums[i] = row_sum;
    }
  });
  return NumpySum([&](std::size_t i) { return row_sums[i]; }, p.n);
}

// Scaled by the reciprocal, as SciPy divides a sparse matrix by a number.
void Normalise(SparseRows& p, unsigned threads) {
  const double scale = 1.0 / SumOf(p, threads);
  ForRowBlocks(p.n, threads, [&](std::size_t first, std::size_t end) {
    for (auto e = p.row_starts[first]; e < p.row_starts[end]; ++e) {
      p.values[static_cast<std::size_t>(e)] *= scale;
    }
  });
}

}  // namespace

void SortRowsByIndex(std::int32_t* indices, float* squared_distances, std::size_t n, std::size_t k,
                     unsigned threads) {
  const detail::RowSortKernel sort_row = detail::RowSortFor(k);
  ForRowBlocks(n, threads, [&](std::size_t first, std::size_t end) {
    for (std::size_t i = first; i < end; ++i) sort_row(indices + i * k, squared_distances + i * k, k);
  });
}

SparseRows JointAffinities(const std::int32_t* columns, const double* conditional, std::size_t n, std::size_t k,
                           unsigned threads) {
  SparseRows p = Merged(columns, conditional, n, k, Transposed(columns, conditional, n, k, threads), threads);
  Normalise(p, threads);
  return p;
}

}  // namespace tsneloss::affinities
