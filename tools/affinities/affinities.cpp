#include "affinities/affinities.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <utility>
#include <vector>

#include "affinities/all_pairs.hpp"
#include "affinities/approximate_neighbours.hpp"
#include "affinities/memory_estimate.hpp"
#include "affinities/neighbours.hpp"
#include "affinities/perplexity_search.hpp"

namespace tsneloss::affinities {
namespace {

// X times the power of 2 that puts its largest coordinate just below 2^room, room
// chosen so that every squared distance, at most 4 d max|x|^2, stays below float's
// largest (2^128): the scaled search then sees every distance, and powers of 2 keep
// every ratio of them.
LargeVector<double> IntoFloatRange(const double* x, std::size_t size, std::size_t d) {
  double largest = 0;
  for (std::size_t e = 0; e < size; ++e) largest = std::max(largest, std::fabs(x[e]));
  LargeVector<double> scaled(x, x + size);
  if (largest == 0) return scaled;
  const int room = (125 - static_cast<int>(std::bit_width(d))) / 2;
  const int shift = room - (std::ilogb(largest) + 1);
  for (double& value : scaled) value = std::ldexp(value, shift);
  return scaled;
}

}  // namespace

std::string NeighbourMethodName(NeighbourMethod method) {
  switch (method) {
    case NeighbourMethod::kExact: return "exact";
    case NeighbourMethod::kApproximate: return "approx";
    case NeighbourMethod::kAll: return "all";
    case NeighbourMethod::kAuto: break;
  }
  return "auto";
}

std::optional<NeighbourMethod> ParseNeighbourMethod(const std::string& name) {
  for (const auto method : {NeighbourMethod::kExact, NeighbourMethod::kApproximate, NeighbourMethod::kAll,
                            NeighbourMethod::kAuto}) {
    if (name == NeighbourMethodName(method)) return method;
  }
  return std::nullopt;
}

std::size_t NeighbourCount(std::size_t n, double perplexity) {
  const double wanted = std::floor(3.0 * perplexity + 1.0);
  return wanted >= static_cast<double>(n - 1) ? n - 1 : static_cast<std::size_t>(wanted);
}

NeighbourMethod ResolvedMethod(NeighbourMethod wanted, std::size_t n) {
  if (wanted != NeighbourMethod::kAuto) return wanted;
  return n <= kAutoExactNeighboursLimit ? NeighbourMethod::kExact : NeighbourMethod::kApproximate;
}

namespace {

// ConditionalRows in slices of rows, with the share done told after each: every row's
// search is its own, so the slices give the same bits. A slice holds enough rows to
// keep every core busy.
std::size_t ConditionalRowsTold(const float* squared_distances, std::size_t n, std::size_t k, double perplexity,
                                PrecisionSearch search, unsigned threads, double* conditional,
                                const std::function<void(double)>& progress) {
  if (!progress) return ConditionalRows(squared_distances, n, k, perplexity, search, threads, conditional);
  constexpr std::size_t kSlices = 20;
  constexpr std::size_t kLeastSlice = std::size_t{1} << 16;
  const std::size_t slice = std::max(kLeastSlice, (n + kSlices - 1) / kSlices);
  std::size_t unmet = 0;
  for (std::size_t from = 0; from < n; from += slice) {
    const std::size_t rows = std::min(slice, n - from);
    unmet += ConditionalRows(squared_distances + from * k, rows, k, perplexity, search, threads,
                             conditional + from * k);
    progress(static_cast<double>(from + rows) / static_cast<double>(n));
  }
  return unmet;
}

}  // namespace

SearchedP AffinitiesFromNeighbours(NeighbourLists& lists, double perplexity, unsigned threads,
                                   PrecisionSearch search, const std::function<void(double)>& progress) {
  const std::size_t n = lists.n;
  const std::size_t k = lists.k;
  // The perplexity search sums over each point's neighbours in index order, as t-SNE does.
  SortRowsByIndex(lists.indices.data(), lists.squared_distances.data(), n, k, threads);
  LargeVector<double> conditional(n * k);
  SearchedP searched;
  searched.unmet_points = ConditionalRowsTold(lists.squared_distances.data(), n, k, perplexity, search, threads,
                                              conditional.data(), progress);
  lists.squared_distances = {};
  searched.p = JointAffinities(lists.indices.data(), conditional.data(), n, k, threads);
  return searched;
}

bool AllFinite(const SparseRows& p) {
  return std::all_of(p.values.begin(), p.values.end(), [](double value) { return std::isfinite(value); });
}

namespace {

// `step()`, a failed allocation in it named as `allocation`.
template <typename Step>
auto Allocating(Allocation allocation, Step step) {
  try {
    return step();
  } catch (const OutOfMemory&) {
    throw;
  } catch (const std::bad_alloc&) {
    throw OutOfMemory(allocation);
  }
}

// The approximate lists, their estimate in `result`. Auto gives way to the exact
// search (empty lists, result.neighbours exact) where the graph index cannot help:
// on data too tied, seen on the sample before the index is built, or when the
// estimate falls short.
NeighbourLists ApproximateLists(const double* x, std::size_t n, std::size_t d, std::size_t k,
                                const AffinitySettings& settings, Affinities& result) {
  const bool may_give_way = settings.neighbours == NeighbourMethod::kAuto;
  const NeighbourSample sample = SampleNeighbours(x, n, d, k, settings.threads);
  if (may_give_way && sample.tied_share > kTiedShareLimit) {
    result.neighbours = NeighbourMethod::kExact;
    return {};
  }
  ApproximateSearch search = ApproximateNeighbours(x, n, d, k, {settings.threads, settings.progress}, sample);
  if (may_give_way && !Trustworthy(search)) {
    result.neighbours = NeighbourMethod::kExact;
    return {};
  }
  result.recall = search.recall;
  result.recall_error = search.recall_error;
  result.tied_share = search.tied_share;
  result.recall_sample = search.sample;
  result.trustworthy = Trustworthy(search);
  return std::move(search.lists);
}

// P by `search`, each allocation that fails named.
Affinities AffinitiesBy(PrecisionSearch search, const double* x, std::size_t n, std::size_t d,
                        const AffinitySettings& settings) {
  Affinities result;
  result.neighbours = ResolvedMethod(settings.neighbours, n);
  const auto begin = [&settings](Phase phase) {
    if (settings.phase) settings.phase(phase);
  };
  SearchedP searched;
  if (result.neighbours == NeighbourMethod::kAll) {
    begin(Phase::kAllPairs);
    searched = Allocating(Allocation::kAllPairs, [&] {
      return AllPairsAffinities(x, n, d, settings.perplexity, settings.threads, settings.progress, search);
    });
  } else {
    const std::size_t k = NeighbourCount(n, settings.perplexity);
    NeighbourLists lists;
    begin(Phase::kNeighbours);
    if (result.neighbours == NeighbourMethod::kApproximate) {
      lists = Allocating(Allocation::kGraphIndex, [&] { return ApproximateLists(x, n, d, k, settings, result); });
    }
    if (result.neighbours == NeighbourMethod::kExact) {
      lists = Allocating(Allocation::kNeighbourLists, [&] {
        return ExactNeighbours(x, n, d, k, {settings.threads, settings.progress});
      });
    }
    begin(Phase::kPerplexities);
    searched = Allocating(Allocation::kJointP, [&] {
      return AffinitiesFromNeighbours(lists, settings.perplexity, settings.threads, search, settings.progress);
    });
  }
  result.p = std::move(searched.p);
  result.unmet_points = searched.unmet_points;
  return result;
}

}  // namespace

Affinities ComputeAffinities(const double* x, std::size_t n, std::size_t d, const AffinitySettings& settings) {
  Affinities result = AffinitiesBy(PrecisionSearch::kTsne, x, n, d, settings);
  if (AllFinite(result.p)) return result;
  result = {};
  const LargeVector<double> scaled = IntoFloatRange(x, n * d, d);
  result = AffinitiesBy(PrecisionSearch::kScaled, scaled.data(), n, d, settings);
  result.scaled_search = true;
  return result;
}

}  // namespace tsneloss::affinities
