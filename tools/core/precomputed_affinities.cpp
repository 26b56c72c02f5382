#include "core/precomputed_affinities.hpp"

#include <algorithm>
#include <cmath>

#include "affinities/exact_distances.hpp"
#include "core/data_affinities.hpp"
#include "core/input_error.hpp"
#include "core/input_rules.hpp"
#include "core/metric_affinities.hpp"
#include "support/text.hpp"

namespace tsneloss::core {
namespace {

using affinities::detail::Ranked;

// The k each perplexity takes, the rules on perplexities and k checked.
std::vector<std::size_t> CountsFor(std::uint64_t n, std::span<const double> perplexities, std::size_t k,
                                   const std::string& source) {
  CheckPointCount(n, 1, PointsRole::kData, source);
  if (perplexities.empty()) throw InputError("perplexity", "no perplexity given");
  std::vector<std::size_t> ks;
  for (const double perplexity : perplexities) {
    std::string fault = PerplexityFault(perplexity, n);
    if (fault.empty()) fault = NeighbourCountFault(k, perplexity, n);
    if (!fault.empty()) throw InputError(source, fault);
    ks.push_back(affinities::NeighbourCountFor(n, perplexity, k));
  }
  return ks;
}

// Row i's candidates in `row` ranked; the k nearest written out.
void TakeRow(std::vector<Ranked>& row, std::size_t i, std::size_t k, affinities::NeighbourLists& lists,
             const std::string& source) {
  if (row.size() < k) {
    throw InputError(source, "row " + std::to_string(i) + " holds " + std::to_string(row.size()) +
                                 " distances off the diagonal; " + std::to_string(k) + " neighbours are needed");
  }
  affinities::detail::TakeNearest(row, k, lists.indices.data() + i * k, lists.squared_distances.data() + i * k);
}

void CheckDistance(double value, std::size_t i, std::uint64_t j, const std::string& source) {
  if (std::isfinite(value) && value >= 0) return;
  throw InputError(source, "row " + std::to_string(i) + ", column " + std::to_string(j) + ": the distance " +
                               support::FormatNumber(value) + " is not finite and at least 0");
}

// P at each perplexity from lists nearest first.
std::vector<affinities::Affinities> AffinitiesOf(const affinities::NeighbourLists& lists,
                                                 std::span<const double> perplexities,
                                                 const std::vector<std::size_t>& ks, unsigned threads,
                                                 const std::string& source) {
  std::vector<affinities::SearchedP> searched =
      affinities::AffinitiesFromNearestFirst(lists, perplexities, ks, threads);
  std::vector<affinities::Affinities> all(perplexities.size());
  for (std::size_t m = 0; m < all.size(); ++m) {
    if (!affinities::AllFinite(searched[m].p)) {
      searched[m] = std::move(affinities::AffinitiesFromNearestFirst(lists, perplexities.subspan(m, 1),
                                                                     std::span(ks).subspan(m, 1), threads,
                                                                     affinities::PrecisionSearch::kScaled)[0]);
      all[m].scaled_search = true;
    }
    all[m].p = std::move(searched[m].p);
    all[m].unmet_points = searched[m].unmet_points;
    CheckComputedP(all[m].p, source);
  }
  return all;
}

affinities::NeighbourLists EmptyLists(std::uint64_t n, std::size_t k) {
  affinities::NeighbourLists lists;
  lists.n = n;
  lists.k = k;
  lists.indices.resize(n * k);
  lists.squared_distances.resize(n * k);
  return lists;
}

}  // namespace

std::vector<affinities::Affinities> AffinitiesFromGraph(const DistanceGraph& graph,
                                                        std::span<const double> perplexities,
                                                        const affinities::AffinitySettings& settings,
                                                        const std::string& source) {
  const std::vector<std::size_t> ks = CountsFor(graph.n, perplexities, settings.k, source);
  const std::size_t k = *std::max_element(ks.begin(), ks.end());
  affinities::NeighbourLists lists = EmptyLists(graph.n, k);
  if (graph.indptr.size() != graph.n + 1 || graph.indptr[0] != 0 ||
      graph.indptr[graph.n] != static_cast<std::int64_t>(graph.indices.size()) ||
      graph.indices.size() != graph.data.size()) {
    throw InputError(source, "the graph's row offsets, indices and values do not agree");
  }
  std::vector<Ranked> row;
  for (std::size_t i = 0; i < graph.n; ++i) {
    row.clear();
    if (graph.indptr[i + 1] < graph.indptr[i]) {
      throw InputError(source, "row " + std::to_string(i) + " ends before it starts");
    }
    const auto first = static_cast<std::size_t>(graph.indptr[i]);
    const auto end = static_cast<std::size_t>(graph.indptr[i + 1]);
    for (std::size_t e = first; e < end; ++e) {
      const std::int64_t j = graph.indices[e];
      if (j < 0 || static_cast<std::uint64_t>(j) >= graph.n) {
        throw InputError(source, "row " + std::to_string(i) + ": " + OutsideRange(std::to_string(j), graph.n, false));
      }
      if (static_cast<std::size_t>(j) == i) continue;
      CheckDistance(graph.data[e], i, static_cast<std::uint64_t>(j), source);
      row.push_back({graph.data[e], static_cast<std::int32_t>(j)});
    }
    TakeRow(row, i, k, lists, source);
  }
  return AffinitiesOf(lists, perplexities, ks, settings.threads, source);
}

std::vector<affinities::Affinities> AffinitiesFromColumns(const SparseColumns& distances,
                                                          std::span<const double> perplexities,
                                                          const affinities::AffinitySettings& settings,
                                                          const std::string& source) {
  // Rows from columns by counting: walking the columns in order leaves each row's
  // columns increasing.
  const std::uint64_t n = distances.n;
  std::vector<std::int64_t> indptr(n + 1, 0);
  for (const double row : distances.row_indices) ++indptr[static_cast<std::size_t>(row)];
  for (std::size_t i = 0; i < n; ++i) indptr[i + 1] += indptr[i];
  std::vector<std::int64_t> next(indptr.begin(), indptr.end() - 1);
  std::vector<std::int64_t> indices(distances.values.size());
  std::vector<double> data(distances.values.size());
  std::size_t e = 0;
  for (std::size_t j = 0; j < n; ++j) {
    for (auto m = static_cast<std::size_t>(distances.column_counts[j]); m > 0; --m, ++e) {
      const auto slot = static_cast<std::size_t>(next[static_cast<std::size_t>(distances.row_indices[e]) - 1]++);
      indices[slot] = static_cast<std::int64_t>(j);
      data[slot] = distances.values[e];
    }
  }
  return AffinitiesFromGraph({n, indptr, indices, data}, perplexities, settings, source);
}

std::vector<affinities::Affinities> AffinitiesFromDistances(const double* distances, std::uint64_t n,
                                                            std::span<const double> perplexities,
                                                            const affinities::AffinitySettings& settings,
                                                            const std::string& source) {
  const std::vector<std::size_t> ks = CountsFor(n, perplexities, settings.k, source);
  const std::size_t k = *std::max_element(ks.begin(), ks.end());
  affinities::NeighbourLists lists = EmptyLists(n, k);
  std::vector<Ranked> row;
  for (std::size_t i = 0; i < n; ++i) {
    row.clear();
    for (std::size_t j = 0; j < n; ++j) {
      if (j == i) continue;
      CheckDistance(distances[i * n + j], i, j, source);
      row.push_back({distances[i * n + j], static_cast<std::int32_t>(j)});
    }
    TakeRow(row, i, k, lists, source);
  }
  return AffinitiesOf(lists, perplexities, ks, settings.threads, source);
}

}  // namespace tsneloss::core
