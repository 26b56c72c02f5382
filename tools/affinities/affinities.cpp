#include "affinities/affinities.hpp"

#include <cmath>
#include <utility>
#include <vector>

#include "affinities/all_pairs.hpp"
#include "affinities/approximate_neighbours.hpp"
#include "affinities/neighbours.hpp"
#include "affinities/perplexity_search.hpp"

namespace tsneloss::affinities {

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

SparseRows AffinitiesFromNeighbours(NeighbourLists& lists, double perplexity, unsigned threads) {
  const std::size_t n = lists.n;
  const std::size_t k = lists.k;
  // The perplexity search sums over each point's neighbours in index order, as t-SNE does.
  SortRowsByIndex(lists.indices.data(), lists.squared_distances.data(), n, k, threads);
  LargeVector<double> conditional(n * k);
  ConditionalRows(lists.squared_distances.data(), n, k, perplexity, threads, conditional.data());
  lists.squared_distances = {};
  return JointAffinities(lists.indices.data(), conditional.data(), n, k, threads);
}

Affinities ComputeAffinities(const double* x, std::size_t n, std::size_t d, const AffinitySettings& settings) {
  Affinities result;
  result.neighbours = ResolvedMethod(settings.neighbours, n);
  if (result.neighbours == NeighbourMethod::kAll) {
    result.p = AllPairsAffinities(x, n, d, settings.perplexity, settings.threads, settings.progress);
    return result;
  }
  const std::size_t k = NeighbourCount(n, settings.perplexity);
  const SearchSettings search{settings.threads, settings.progress};
  NeighbourLists lists;
  if (result.neighbours == NeighbourMethod::kExact) {
    lists = ExactNeighbours(x, n, d, k, search);
  } else {
    ApproximateSearch approximate = ApproximateNeighbours(x, n, d, k, search);
    lists = std::move(approximate.lists);
    result.recall = approximate.recall;
    result.recall_sample = approximate.sample;
  }
  result.p = AffinitiesFromNeighbours(lists, settings.perplexity, settings.threads);
  return result;
}

}  // namespace tsneloss::affinities
