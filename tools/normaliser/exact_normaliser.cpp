#include "normaliser/exact_normaliser.hpp"

#include <atomic>
#include <cstdint>
#include <vector>

#include "normaliser/compensated_sum.hpp"
#include "normaliser/exact_layout.hpp"
#include "support/parallel.hpp"

namespace tsneloss::normaliser {
namespace {

// Coordinates transposed so that a vector load takes one coordinate of kLanes points,
// with zeros after the last point for the masked loads of the edges.
struct Columns {
  std::vector<double> values;
  detail::SweepInput input;
};

Columns Transpose(const double* y, std::size_t n, std::size_t d) {
  Columns columns;
  const std::size_t stride = (n + detail::kLanes + detail::kGroupRows + 7) / 8 * 8;
  columns.values.assign(stride * (d == 0 ? 1 : d), 0.0);
  for (std::size_t j = 0; j < n; ++j) {
    for (std::size_t k = 0; k < d; ++k) columns.values[k * stride + j] = y[j * d + k];
  }
  columns.input = {columns.values.data(), stride, n, d};
  return columns;
}

// Pairs i < j with i in [begin, end).
double PairsFromRows(std::size_t begin, std::size_t end, std::size_t n) {
  double pairs = 0;
  for (std::size_t i = begin; i < end; ++i) pairs += static_cast<double>(n - 1 - i);
  return pairs;
}

}  // namespace

double ExactNormaliser(const double* y, std::size_t n, std::size_t d, const ExactSettings& settings) {
  const detail::RowBlockSweep sweep = detail::SweepFor(settings.path);
  if (n < 2) return 0;
  const Columns columns = Transpose(y, n, d);
  const std::size_t blocks = (n + detail::kRowBlock - 1) / detail::kRowBlock;
  std::vector<double> block_sums(blocks);
  const double total_pairs = 0.5 * static_cast<double>(n) * static_cast<double>(n - 1);

  // Blocks are taken in order by whichever thread is free; each sum lands in its own
  // slot, so the scheduling never touches the result.
  // Progress is reported on the calling thread (worker 0) only.
  std::atomic<double> pairs_done{0};
  const auto work = [&](std::size_t block, unsigned worker) {
    block_sums[block] = sweep(columns.input, block);
    const std::size_t begin = block * detail::kRowBlock;
    const std::size_t end = begin + detail::kRowBlock < n ? begin + detail::kRowBlock : n;
    pairs_done.fetch_add(PairsFromRows(begin, end, n));
    if (worker == 0 && settings.progress) settings.progress(pairs_done.load() / total_pairs);
  };

  support::ParallelFor(blocks, {settings.threads, {}}, work);
  if (settings.progress) settings.progress(1.0);

  detail::CompensatedSum sum;
  for (const double block_sum : block_sums) sum.Add(block_sum);
  // Each unordered pair was summed once; doubling is exact.
  return 2.0 * sum.Value();
}

}  // namespace tsneloss::normaliser
