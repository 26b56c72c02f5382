#include <algorithm>
#include <bit>
#include <chrono>
#include <limits>
#include <stdexcept>
#include <type_traits>
#include <utility>

#include "affinities/exact_candidates.hpp"
#include "affinities/exact_caps.hpp"
#include "affinities/exact_prepare.hpp"
#include "affinities/exact_tile.hpp"
#include "affinities/neighbours.hpp"
#include "support/large_vector.hpp"
#include "support/parallel.hpp"

namespace tsneloss::affinities {
namespace detail {
namespace {

// Points per block. The candidate pass works on tiles of a block of rows against a
// block of columns, over the upper triangle: off the diagonal a tile offers to both,
// so each pair is measured once. A tile's candidates stay in the second-level cache;
// the rows meet the few panels of a chunk while those stay in it too.
constexpr std::size_t kBlockRows = 512;
constexpr std::size_t kChunkPanels = 8;
static_assert(kBlockRows % kPanel == 0 && kBlockRows % kGroup == 0);
constexpr std::size_t kProgressSteps = 100;
constexpr std::size_t kFinishChunk = 256;  // points measured again per task
constexpr std::size_t kCachedBytes = std::size_t{16} << 20;  // points no larger stay in the last-level cache

// Every point's candidates, and the kernels' view of them: a tile reaches the
// candidates of its rows and of its columns alike.
struct Search {
  const CandidateContext* context = nullptr;
  TileKernel kernel = nullptr;
  std::size_t blocks = 0;
  std::vector<CandidateRow> points;  // past n: parked
  std::vector<float> limits;
  std::vector<Candidates*> out;
};

void Prime(Search& search, std::size_t block) {
  const CandidateContext& context = *search.context;
  for (std::size_t i = block * kBlockRows; i < (block + 1) * kBlockRows; ++i) {
    if (i < context.n) {
      search.points[i].Start(context, i);
    } else {
      search.points[i].Park(context, i);
    }
    search.limits[i] = search.points[i].limit();
    search.out[i] = &search.points[i].candidates();
  }
}

// Settles the full ones among the points first + l for the set bits l of `offered`.
void SettleFull(Search& search, std::size_t first, unsigned offered) {
  for (; offered != 0; offered &= offered - 1) {
    const std::size_t i = first + static_cast<std::size_t>(std::countr_zero(offered));
    if (search.points[i].full()) {
      search.points[i].Settle();
      search.limits[i] = search.points[i].limit();
    }
  }
}

// Block a's rows against block b's columns (a <= b); every point of both has room
// for a tile's offers at the start.
void SearchTile(Search& search, std::size_t a, std::size_t b) {
  const CandidateContext& context = *search.context;
  const Prepared& prepared = *context.prepared;
  const std::size_t d = context.d;
  const std::size_t first = a * kBlockRows;
  const std::size_t groups = (std::min(kBlockRows, context.n - first) + kGroup - 1) / kGroup;
  const std::size_t first_panel = b * kBlockRows / kPanel;
  const std::size_t last_panel = std::min(prepared.panels, first_panel + kBlockRows / kPanel);
  TileInput input;
  input.d = d;
  input.n = static_cast<std::int32_t>(context.n);
  for (std::size_t chunk = first_panel; chunk < last_panel; chunk += kChunkPanels) {
    const std::size_t chunk_end = std::min(last_panel, chunk + kChunkPanels);
    for (std::size_t group = 0; group < groups; ++group) {
      const std::size_t row = first + group * kGroup;
      input.rows = prepared.packed + row / kGroup * d * kGroup;
      input.limits = search.limits.data() + row;
      input.row_norms = prepared.norms.data() + row;
      input.row_slacks = prepared.slacks.data() + row;
      input.row = static_cast<std::int32_t>(row);
      for (std::size_t panel = chunk; panel < chunk_end; ++panel) {
        const std::size_t column = panel * kPanel;
        input.panel = prepared.packed + panel * d * kPanel;
        input.norms = prepared.norms.data() + column;
        input.slacks = prepared.slacks.data() + column;
        input.column = static_cast<std::int32_t>(column);
        input.column_limits = a == b ? nullptr : search.limits.data() + column;
        const unsigned offered = search.kernel(input, search.out.data() + row, search.out.data() + column);
        SettleFull(search, row, offered & 0xffffu);
        SettleFull(search, column, offered >> kGroup);
      }
    }
  }
}

// The pairs of blocks of round t of a round robin over `blocks` (even) blocks: each
// block meets every other once over the blocks - 1 rounds, and once per round.
std::vector<std::pair<std::size_t, std::size_t>> Round(std::size_t blocks, std::size_t t) {
  std::vector<std::pair<std::size_t, std::size_t>> pairs;
  const std::size_t turning = blocks - 1;
  pairs.emplace_back(t, turning);
  for (std::size_t m = 1; m < blocks / 2; ++m) {
    const std::size_t one = (t + m) % turning, other = (t + turning - m) % turning;
    pairs.emplace_back(std::min(one, other), std::max(one, other));
  }
  return pairs;
}

struct FinishScratch {
  std::vector<double> exact;
  std::vector<Ranked> ranked;
  std::size_t measured_by_all = 0;
  std::size_t caps_missed = 0;
};

// The points in the order asked for; breadth first, each point's candidates are met
// soon after it. Index order where the pass did not run, and by size where the points
// fit in the cache anyway (the breadth-first order costs a walk over all candidates).
std::vector<std::int32_t> PointsInOrder(Search& search, MeasuringOrder asked) {
  const CandidateContext& context = *search.context;
  const std::size_t n = context.n;
  const std::size_t bytes = n * context.d * (context.x_single != nullptr ? sizeof(float) : sizeof(double));
  const bool breadth_first = asked == MeasuringOrder::kBreadthFirst || (asked == MeasuringOrder::kBySize && bytes > kCachedBytes);
  std::vector<std::int32_t> order;
  order.reserve(n);
  if (!context.prepared->usable || !breadth_first) {
    for (std::size_t i = 0; i < n; ++i) order.push_back(static_cast<std::int32_t>(i));
    return order;
  }
  std::vector<char> seen(n, 0);
  for (std::size_t start = 0; start < n; ++start) {
    if (seen[start] != 0) continue;
    seen[start] = 1;
    order.push_back(static_cast<std::int32_t>(start));
    for (std::size_t next = order.size() - 1; next < order.size(); ++next) {
      const Candidates& candidates = search.points[static_cast<std::size_t>(order[next])].candidates();
      for (std::size_t m = 0; m < candidates.size; ++m) {
        const auto j = static_cast<std::size_t>(candidates.index[m]);
        if (seen[j] == 0) {
          seen[j] = 1;
          order.push_back(static_cast<std::int32_t>(j));
        }
      }
    }
  }
  return order;
}

void FinishPoints(Search& search, const std::int32_t* points, std::size_t count, FinishScratch& scratch,
                  NeighbourLists& lists) {
  const CandidateContext& context = *search.context;
  const std::size_t k = context.k;
  for (std::size_t m = 0; m < count; ++m) {
    const auto i = static_cast<std::size_t>(points[m]);
    std::int32_t* indices = lists.indices.data() + i * k;
    float* distances = lists.squared_distances.data() + i * k;
    if (!context.prepared->usable) {
      OnPoints(context, [&](const auto* x) {
        NearestByAll(x, context.n, context.d, i, k, indices, distances, scratch.ranked,
                     context.select.Measure<Real<decltype(x)>>());
      });
      ++scratch.measured_by_all;
    } else {
      bool cap_missed = false;
      scratch.measured_by_all += search.points[i].Finish(indices, distances, scratch.exact, scratch.ranked, cap_missed);
      scratch.caps_missed += cap_missed;
    }
  }
}

// The candidate pass: the diagonal's tiles, then the round robin's; each round's
// tiles share no block, so their threads touch different points.
void OfferAll(Search& search, const SearchSettings& settings) {
  const std::size_t blocks = search.blocks;
  const std::size_t even = blocks + blocks % 2;  // block `blocks`, if any, sits a round out
  const std::size_t rounds = even;               // the diagonal's, then even - 1
  const support::Parallel parallel{settings.threads, {}};
  support::ParallelFor(blocks, parallel, [&](std::size_t block, unsigned) { Prime(search, block); });
  std::size_t reported = 0;
  for (std::size_t round = 0; round < rounds; ++round) {
    std::vector<std::pair<std::size_t, std::size_t>> pairs;
    if (round == 0) {
      for (std::size_t block = 0; block < blocks; ++block) pairs.emplace_back(block, block);
    } else {
      for (const auto& pair : Round(even, round - 1)) {
        if (pair.second < blocks) pairs.push_back(pair);
      }
    }
    support::ParallelFor(pairs.size(), parallel,
                         [&](std::size_t task, unsigned) { SearchTile(search, pairs[task].first, pairs[task].second); });
    const std::size_t step = (round + 1) * kProgressSteps / (rounds + 1);
    if (settings.progress && step > reported) {
      reported = step;
      settings.progress(static_cast<double>(step) / kProgressSteps);
    }
  }
}

// The caps' plan the probe asks for, or the one that saves the most.
CapPlan ChosenPlan(std::size_t n, std::size_t d, std::size_t k, const SearchProbe* probe) {
  if (probe == nullptr || probe->caps == CapChoice::kBySize) return PlanCaps(n, d, k);
  if (probe->caps == CapChoice::kNone) return {};
  return {probe->cap_sample, probe->cap_rank};
}

}  // namespace

template <typename Real>
NeighbourLists ExactNeighboursOnPath(const Real* x, std::size_t n, std::size_t d, std::size_t k,
                                     const SearchSettings& settings, support::InstructionSet path,
                                     SearchProbe* probe) {
  const auto start = std::chrono::steady_clock::now();
  const TileKernel kernel = KernelFor(path);
  if (k == 0 || k >= n) throw std::invalid_argument("ExactNeighbours: k must lie in [1, n)");
  if (n >= (std::size_t{1} << 31)) throw std::invalid_argument("ExactNeighbours: n must lie below 2^31");
  NeighbourLists lists;
  lists.n = n;
  lists.k = k;
  lists.indices.resize(n * k);
  lists.squared_distances.resize(n * k);

  const Prepared prepared = Prepare(x, n, d, settings.threads);
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

  // The caps' plan is asked before their memory: none where the data are unusable.
  std::vector<double> caps;
  if (prepared.usable) {
    caps = GuessCaps(prepared, n, d, ChosenPlan(n, d, k, probe), kernel, settings.threads);
    context.caps = caps.data();
  }

  Search search;
  search.context = &context;
  search.kernel = kernel;
  search.blocks = (n + kBlockRows - 1) / kBlockRows;
  support::LargeVector<float> lower, upper;
  support::LargeVector<std::int32_t> index;
  if (prepared.usable) {
    const std::size_t room = search.blocks * kBlockRows * (context.capacity + kPanel);
    lower.resize(room);
    upper.resize(room);
    index.resize(room);
    context.lower = lower.data();
    context.upper = upper.data();
    context.index = index.data();
    search.points.resize(search.blocks * kBlockRows);
    search.limits.resize(search.blocks * kBlockRows);
    search.out.resize(search.blocks * kBlockRows);
    OfferAll(search, settings);
  }
  const auto offered = std::chrono::steady_clock::now();
  std::vector<FinishScratch> scratch(support::ThreadCount(settings.threads));
  const std::vector<std::int32_t> points = PointsInOrder(search, probe != nullptr ? probe->order : MeasuringOrder::kBySize);
  support::ParallelFor((n + kFinishChunk - 1) / kFinishChunk, {settings.threads, {}}, [&](std::size_t chunk, unsigned worker) {
    const std::size_t first = chunk * kFinishChunk;
    FinishPoints(search, points.data() + first, std::min(kFinishChunk, n - first), scratch[worker], lists);
  });
  if (settings.progress) settings.progress(1.0);
  if (probe != nullptr) {
    probe->steps.candidates = std::chrono::duration<double>(offered - start).count();
    probe->steps.measuring = std::chrono::duration<double>(std::chrono::steady_clock::now() - offered).count();
    probe->measured_by_all = probe->caps_missed = 0;
    for (const FinishScratch& own : scratch) {
      probe->measured_by_all += own.measured_by_all;
      probe->caps_missed += own.caps_missed;
    }
  }
  return lists;
}

template NeighbourLists ExactNeighboursOnPath(const double*, std::size_t, std::size_t, std::size_t,
                                              const SearchSettings&, support::InstructionSet, SearchProbe*);
template NeighbourLists ExactNeighboursOnPath(const float*, std::size_t, std::size_t, std::size_t,
                                              const SearchSettings&, support::InstructionSet, SearchProbe*);

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
  // One float copy of the points, packed in panels (the last padded), and per point a
  // norm, a slack, a radius and a cap. The caps' sample, packed again, and the draw
  // are gone before the candidates come.
  const double prepared = 4 * (points + static_cast<double>(detail::kPanel)) * static_cast<double>(d) + 24 * points;
  // Each point's candidates: a lower and an upper bound and an index; its row of the
  // search, its limit and the kernels' pointer to it; its place in the measuring order.
  const auto capacity = static_cast<double>(std::max<std::size_t>(2 * k, k + 32) + detail::kPanel);
  constexpr double kRowBytes = sizeof(detail::CandidateRow) + sizeof(float) + sizeof(detail::Candidates*);
  const double candidates = (points + static_cast<double>(detail::kBlockRows)) * (capacity * 12 + kRowBytes) + 4 * points;
  // Per thread, a double for each candidate and a rank for each, or for every point
  // where one is measured against all (as a cap guessed too low has it, here and there).
  const double measuring = capacity * 8 + std::max(capacity, points) * sizeof(detail::Ranked);
  return lists + prepared + candidates + measuring * support::ThreadCount(threads);
}

}  // namespace tsneloss::affinities
