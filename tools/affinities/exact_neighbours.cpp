#include <algorithm>
#include <atomic>
#include <limits>
#include <stdexcept>
#include <type_traits>

#include "affinities/exact_candidates.hpp"
#include "affinities/exact_prepare.hpp"
#include "affinities/exact_tile.hpp"
#include "affinities/neighbours.hpp"
#include "support/parallel.hpp"

namespace tsneloss::affinities {
namespace detail {
namespace {

// Rows per unit of work, and panels per chunk: a group of rows meets the few panels
// of a chunk while they and its candidates stay in the first-level cache.
constexpr std::size_t kBlockRows = 64;
constexpr std::size_t kChunkPanels = 8;
constexpr std::size_t kProgressSteps = 100;

struct Scratch {
  std::vector<CandidateRow> rows{kBlockRows};
  std::vector<float> limits = std::vector<float>(kBlockRows);
  std::vector<Ranked> ranked;
  std::vector<Candidates*> out = std::vector<Candidates*>(kBlockRows);
  std::size_t measured_by_all = 0;
};

void SearchBlock(const CandidateContext& context, TileKernel kernel, std::size_t block, Scratch& scratch,
                 NeighbourLists& lists) {
  const Prepared& prepared = *context.prepared;
  const std::size_t n = context.n, d = context.d, k = context.k;
  const std::size_t first = block * kBlockRows;
  const std::size_t rows = std::min(kBlockRows, n - first);
  if (!prepared.usable) {
    for (std::size_t i = first; i < first + rows; ++i) {
      OnPoints(context, [&](const auto* x) {
        NearestByAll(x, n, d, i, k, lists.indices.data() + i * k, lists.squared_distances.data() + i * k,
                     scratch.ranked);
      });
    }
    scratch.measured_by_all += rows;
    return;
  }
  const std::size_t groups = (rows + kGroup - 1) / kGroup;
  for (std::size_t r = 0; r < groups * kGroup; ++r) {
    if (r < rows) {
      scratch.rows[r].Start(context, first + r);
    } else {
      scratch.rows[r].Park(context);
    }
    scratch.limits[r] = scratch.rows[r].limit();
    scratch.out[r] = &scratch.rows[r].candidates();
  }
  TileInput input;
  input.d = d;
  input.n = static_cast<std::int32_t>(n);
  for (std::size_t chunk = 0; chunk < prepared.panels; chunk += kChunkPanels) {
    const std::size_t chunk_end = std::min(prepared.panels, chunk + kChunkPanels);
    for (std::size_t group = 0; group < groups; ++group) {
      input.rows = prepared.rows + (first + group * kGroup) * d;
      input.limits = scratch.limits.data() + group * kGroup;
      input.row = static_cast<std::int32_t>(first + group * kGroup);
      for (std::size_t panel = chunk; panel < chunk_end; ++panel) {
        input.panel = prepared.packed + panel * d * kPanel;
        input.norms = prepared.norms.data() + panel * kPanel;
        input.slacks = prepared.slacks.data() + panel * kPanel;
        input.column = static_cast<std::int32_t>(panel * kPanel);
        kernel(input, scratch.out.data() + group * kGroup);
        for (std::size_t row = group * kGroup; row < (group + 1) * kGroup; ++row) {
          if (scratch.rows[row].full()) {
            scratch.rows[row].Settle();
            scratch.limits[row] = scratch.rows[row].limit();
          }
        }
      }
    }
  }
  for (std::size_t r = 0; r < rows; ++r) {
    const std::size_t i = first + r;
    if (scratch.rows[r].Finish(lists.indices.data() + i * k, lists.squared_distances.data() + i * k)) {
      ++scratch.measured_by_all;
    }
  }
}

}  // namespace

template <typename Real>
NeighbourLists ExactNeighboursOnPath(const Real* x, std::size_t n, std::size_t d, std::size_t k,
                                     const SearchSettings& settings, support::InstructionSet path,
                                     std::size_t* measured_by_all) {
  const TileKernel kernel = KernelFor(path);
  if (k == 0 || k >= n) throw std::invalid_argument("ExactNeighbours: k must lie in [1, n)");
  if (n >= (std::size_t{1} << 31)) throw std::invalid_argument("ExactNeighbours: n must lie below 2^31");
  NeighbourLists lists;
  lists.n = n;
  lists.k = k;
  lists.indices.resize(n * k);
  lists.squared_distances.resize(n * k);

  const Prepared prepared = Prepare(x, n, d);
  CandidateContext context;
  if constexpr (std::is_same_v<Real, float>) {
    context.x_single = x;
  } else {
    context.x = x;
  }
  context.n = n;
  context.d = d;
  context.k = k;
  context.capacity = std::max<std::size_t>(2 * k, k + 32);
  context.prepared = &prepared;
  context.select = SelectFor(path);

  const std::size_t blocks = (n + kBlockRows - 1) / kBlockRows;
  std::vector<Scratch> scratch(support::ThreadCount(settings.threads));
  std::atomic<std::size_t> done{0};
  std::size_t reported = 0;  // touched by worker 0 only
  const auto work = [&](std::size_t block, unsigned worker) {
    SearchBlock(context, kernel, block, scratch[worker], lists);
    const std::size_t step = (done.fetch_add(1) + 1) * kProgressSteps / blocks;
    if (worker == 0 && settings.progress && step > reported) {
      reported = step;
      settings.progress(static_cast<double>(step) / kProgressSteps);
    }
  };
  support::ParallelFor(blocks, {settings.threads, {}}, work);
  if (settings.progress && reported < kProgressSteps) settings.progress(1.0);
  if (measured_by_all != nullptr) {
    *measured_by_all = 0;
    for (const Scratch& own : scratch) *measured_by_all += own.measured_by_all;
  }
  return lists;
}

template NeighbourLists ExactNeighboursOnPath(const double*, std::size_t, std::size_t, std::size_t,
                                              const SearchSettings&, support::InstructionSet, std::size_t*);
template NeighbourLists ExactNeighboursOnPath(const float*, std::size_t, std::size_t, std::size_t,
                                              const SearchSettings&, support::InstructionSet, std::size_t*);

}  // namespace detail

NeighbourLists ExactNeighbours(const double* x, std::size_t n, std::size_t d, std::size_t k,
                               const SearchSettings& settings) {
  return detail::ExactNeighboursOnPath(x, n, d, k, settings, support::InstructionSet::kAuto);
}

NeighbourLists ExactNeighbours(const float* x, std::size_t n, std::size_t d, std::size_t k,
                               const SearchSettings& settings) {
  return detail::ExactNeighboursOnPath(x, n, d, k, settings, support::InstructionSet::kAuto);
}

double ExactNeighboursBytes(std::size_t n, std::size_t d, std::size_t k, unsigned threads) {
  const auto points = static_cast<double>(n);
  const double lists = 8 * points * static_cast<double>(k);
  const double prepared = 8 * points * static_cast<double>(d) + 24 * points;
  // Each candidate: a lower and an upper bound and an index, then a double and a rank.
  const auto capacity = static_cast<double>(std::max<std::size_t>(2 * k, k + 32) + detail::kPanel);
  const double scratch = static_cast<double>(detail::kBlockRows) * capacity * 12 + capacity * 24;
  return lists + prepared + scratch * support::ThreadCount(threads);
}

}  // namespace tsneloss::affinities
