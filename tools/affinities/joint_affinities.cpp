#include "affinities/joint_affinities.hpp"

#include <algorithm>
#include <numeric>
#include <utility>

#include "affinities/pairwise_sum.hpp"
#include "support/parallel.hpp"

namespace affinities {
namespace {

constexpr std::size_t kRowsPerTask = 4096;

void ForRowBlocks(std::size_t n, unsigned threads, const std::function<void(std::size_t, std::size_t)>& rows) {
  const std::size_t tasks = (n + kRowsPerTask - 1) / kRowsPerTask;
  tsneloss::support::ParallelFor(tasks, {threads, {}}, [&](std::size_t task, unsigned) {
    rows(task * kRowsPerTask, std::min(n, (task + 1) * kRowsPerTask));
  });
}

}  // namespace

void SortRowsByIndex(std::int32_t* indices, float* squared_distances, std::size_t n, std::size_t k,
                     unsigned threads) {
  ForRowBlocks(n, threads, [&](std::size_t first, std::size_t end) {
    std::vector<std::pair<std::int32_t, float>> row(k);
    for (std::size_t i = first; i < end; ++i) {
      for (std::size_t m = 0; m < k; ++m) row[m] = {indices[i * k + m], squared_distances[i * k + m]};
      std::sort(row.begin(), row.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
      for (std::size_t m = 0; m < k; ++m) std::tie(indices[i * k + m], squared_distances[i * k + m]) = row[m];
    }
  });
}

SparseRows JointAffinities(const std::int32_t* columns, const double* conditional, std::size_t n, std::size_t k,
                           unsigned threads) {
  // C^T in compressed rows: row j lists the i that hold j, in increasing i.
  std::vector<std::int64_t> transposed_starts(n + 1, 0);
  for (std::size_t e = 0; e < n * k; ++e) ++transposed_starts[static_cast<std::size_t>(columns[e]) + 1];
  std::partial_sum(transposed_starts.begin(), transposed_starts.end(), transposed_starts.begin());
  LargeVector<std::int32_t> transposed_columns(n * k);
  LargeVector<double> transposed_values(n * k);
  {
    std::vector<std::int64_t> next(transposed_starts.begin(), transposed_starts.end() - 1);
    for (std::size_t i = 0; i < n; ++i) {
      for (std::size_t m = 0; m < k; ++m) {
        const std::size_t slot = static_cast<std::size_t>(next[static_cast<std::size_t>(columns[i * k + m])]++);
        transposed_columns[slot] = static_cast<std::int32_t>(i);
        transposed_values[slot] = conditional[i * k + m];
      }
    }
  }
  // Row i of P is the merge of row i of C and row i of C^T; a position in both is
  // their sum, which is the same sum (a + b = b + a) at (i, j) and at (j, i).
  const auto merged_row = [&](std::size_t i, std::int32_t* out_columns, double* out_values) {
    const std::int32_t* a = columns + i * k;
    const std::int32_t* a_end = a + k;
    const double* a_values = conditional + i * k;
    std::size_t b = static_cast<std::size_t>(transposed_starts[i]);
    const std::size_t b_end = static_cast<std::size_t>(transposed_starts[i + 1]);
    std::size_t count = 0;
    while (a != a_end || b != b_end) {
      std::int32_t column;
      double value;
      if (b == b_end || (a != a_end && *a < transposed_columns[b])) {
        column = *a++;
        value = *a_values++;
      } else if (a == a_end || transposed_columns[b] < *a) {
        column = transposed_columns[b];
        value = transposed_values[b++];
      } else {
        column = *a++;
        value = *a_values++ + transposed_values[b++];
      }
      if (out_columns != nullptr) {
        out_columns[count] = column;
        out_values[count] = value;
      }
      ++count;
    }
    return count;
  };
  SparseRows p;
  p.n = n;
  p.row_starts.assign(n + 1, 0);
  ForRowBlocks(n, threads, [&](std::size_t first, std::size_t end) {
    for (std::size_t i = first; i < end; ++i) {
      p.row_starts[i + 1] = static_cast<std::int64_t>(merged_row(i, nullptr, nullptr));
    }
  });
  std::partial_sum(p.row_starts.begin(), p.row_starts.end(), p.row_starts.begin());
  const std::size_t nnz = static_cast<std::size_t>(p.row_starts[n]);
  p.columns.resize(nnz);
  p.values.resize(nnz);
  ForRowBlocks(n, threads, [&](std::size_t first, std::size_t end) {
    for (std::size_t i = first; i < end; ++i) {
      const std::size_t start = static_cast<std::size_t>(p.row_starts[i]);
      merged_row(i, p.columns.data() + start, p.values.data() + start);
    }
  });
  // Summed as SciPy sums a sparse matrix: each row in order, then the row sums
  // pairwise as NumPy adds an array, so that P is t-SNE's to the last bit or two.
  std::vector<double> row_sums(n, 0.0);
  ForRowBlocks(n, threads, [&](std::size_t first, std::size_t end) {
    for (std::size_t i = first; i < end; ++i) {
      double row_sum = 0;
      for (auto e = p.row_starts[i]; e < p.row_starts[i + 1]; ++e) row_sum += p.values[static_cast<std::size_t>(e)];
      row_sums[i] = row_sum;
    }
  });
  const double sum = NumpySum([&](std::size_t i) { return row_sums[i]; }, n);
  // Scaled by the reciprocal, as SciPy divides a sparse matrix by a number.
  const double scale = 1.0 / sum;
  ForRowBlocks(n, threads, [&](std::size_t first, std::size_t end) {
    for (auto e = p.row_starts[first]; e < p.row_starts[end]; ++e) {
      p.values[static_cast<std::size_t>(e)] *= scale;
    }
  });
  return p;
}

}  // namespace affinities
