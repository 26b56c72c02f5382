#include "affinities/all_pairs.hpp"

#include <algorithm>
#include <atomic>
#include <vector>

#include "affinities/exact_distances.hpp"
#include "affinities/pairwise_sum.hpp"
#include "affinities/perplexity_search.hpp"
#include "support/parallel.hpp"

namespace tsneloss::affinities {
namespace {

constexpr std::size_t kRowsPerTask = 16;
constexpr std::size_t kTile = 64;

}  // namespace

SearchedP AllPairsAffinities(const double* x, std::size_t n, std::size_t d, double perplexity, unsigned threads,
                             const std::function<void(double)>& progress, PrecisionSearch search) {
  const auto row_search = search == PrecisionSearch::kTsne ? ConditionalRow : ScaledConditionalRow;
  const std::size_t row_length = n - 1;
  SearchedP searched;
  SparseRows& p = searched.p;
  p.n = n;
  p.row_starts.resize(n + 1);
  for (std::size_t i = 0; i <= n; ++i) p.row_starts[i] = static_cast<std::int64_t>(i * row_length);
  p.columns.resize(n * row_length);
  p.values.resize(n * row_length);
  // Row i first holds C's row i (columns 0 .. n-1 without i, in order).
  std::atomic<std::size_t> rows_done{0};
  std::atomic<std::size_t> unmet{0};
  const std::size_t tasks = (n + kRowsPerTask - 1) / kRowsPerTask;
  support::ParallelFor(tasks, {threads, {}}, [&](std::size_t task, unsigned worker) {
    std::vector<double> exact(row_length);
    std::vector<float> distances(row_length);
    const std::size_t end = std::min(n, (task + 1) * kRowsPerTask);
    std::size_t task_unmet = 0;
    for (std::size_t i = task * kRowsPerTask; i < end; ++i) {
      std::int32_t* columns = p.columns.data() + i * row_length;
      std::size_t m = 0;
      for (std::size_t j = 0; j < n; ++j) {
        if (j != i) columns[m++] = static_cast<std::int32_t>(j);
      }
      detail::ExactSquaredDistances(x, d, i, columns, row_length, exact.data());
      std::copy(exact.begin(), exact.end(), distances.begin());
      if (!row_search(distances.data(), row_length, perplexity, p.values.data() + i * row_length).met) ++task_unmet;
    }
    unmet += task_unmet;
    const std::size_t done = rows_done += end - task * kRowsPerTask;
    if (worker == 0 && progress) progress(static_cast<double>(done) / static_cast<double>(n));
  });
  // C + C^T in place: (i, j) sits at slot j - 1 of row i when j > i, and (j, i) at
  // slot i of row j.
  const auto slot = [&](std::size_t row, std::size_t column) {
    return row * row_length + (column > row ? column - 1 : column);
  };
  // In tiles, so that the column walk stays in cache.
  for (std::size_t i0 = 0; i0 < n; i0 += kTile) {
    for (std::size_t j0 = i0; j0 < n; j0 += kTile) {
      for (std::size_t i = i0; i < std::min(n, i0 + kTile); ++i) {
        for (std::size_t j = std::max(j0, i + 1); j < std::min(n, j0 + kTile); ++j) {
          const double sum = p.values[slot(i, j)] + p.values[slot(j, i)];
          p.values[slot(i, j)] = sum;
          p.values[slot(j, i)] = sum;
        }
      }
    }
  }
  // Summed as NumPy sums the dense N-by-N P, zero diagonal included, and divided as
  // it divides, so that P has t-SNE's bits.
  const double total = NumpySum(
      [&](std::size_t flat) {
        const std::size_t i = flat / n;
        const std::size_t j = flat % n;
        return i == j ? 0.0 : p.values[slot(i, j)];
      },
      n * n);
  for (double& value : p.values) value = std::max(value / total, kAllPairsFloor);
  searched.unmet_points = unmet;
  return searched;
}

}  // namespace tsneloss::affinities
