#include "core/metric_affinities.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "core/data_affinities.hpp"
#include "core/input_error.hpp"
#include "core/input_rules.hpp"
#include "core/memory_budget.hpp"
#include "support/text.hpp"

namespace tsneloss::core {
namespace {

// The rules of the metric on the data, and of the method with it.
template <typename Real>
void CheckMetric(const Real* x, std::uint64_t points, std::uint64_t dimension,
                 const affinities::AffinitySettings& settings, const std::string& source) {
  const std::string name = affinities::MetricName(settings.metric);
  if (settings.metric == Metric::kPrecomputed) {
    throw InputError(source, "with metric 'precomputed' the input is a matrix of distances, not points");
  }
  if (settings.metric != Metric::kEuclidean &&
      affinities::ResolvedMethod(settings.neighbours, points) == affinities::NeighbourMethod::kAll) {
    throw InputError(source, "neighbours 'all' takes Euclidean distances only, not " + name);
  }
  if (!affinities::OnUnitRows(settings.metric)) return;
  if (const auto row = affinities::FirstRowWithoutDirection(x, points, dimension, settings.metric)) {
    throw InputError(source, "row " + std::to_string(*row) + " is " +
                                 (settings.metric == Metric::kCosine ? "all zeros" : "all one value") +
                                 ": its " + name + " distance to any point is undefined");
  }
}

template <typename Real>
void CheckData(const Real* x, std::uint64_t points, std::uint64_t dimension, double perplexity,
               const affinities::AffinitySettings& settings, const std::string& source) {
  CheckAffinityRequest(points, dimension, perplexity, settings.neighbours, source, settings.threads);
  CheckCoordinates(std::span<const Real>(x, points * dimension), source);
  CheckMetric(x, points, dimension, settings, source);
}

}  // namespace

Metric MetricNamed(const std::string& name, const std::string& source) {
  const auto metric = affinities::ParseMetric(name);
  if (!metric) {
    throw InputError(source, "the metrics are 'euclidean', 'cosine', 'correlation' or 'precomputed', not " +
                                 support::Shown(name));
  }
  return *metric;
}

std::string NeighbourCountFault(std::uint64_t k, double perplexity, std::uint64_t points) {
  if (k == 0) return "";
  if (k >= points) {
    return "k must be below the number of points (" + std::to_string(points) + "); it is " + std::to_string(k);
  }
  const std::size_t needed = affinities::NeighbourCount(points, perplexity);
  if (k >= needed) return "";
  return "k = " + std::to_string(k) + " is fewer than the " + std::to_string(needed) + " neighbours perplexity " +
         support::FormatNumber(perplexity) + " takes (min(N - 1, floor(3 perplexity + 1)))";
}

template <typename Real>
std::vector<affinities::Affinities> AffinitiesFromData(const Real* x, std::uint64_t points, std::uint64_t dimension,
                                                       std::span<const double> perplexities,
                                                       const affinities::AffinitySettings& settings,
                                                       const std::string& source) {
  CheckPointCount(points, dimension, PointsRole::kData, source);
  if (perplexities.empty()) throw InputError("perplexity", "no perplexity given");
  for (const double perplexity : perplexities) {
    const std::string fault = PerplexityFault(perplexity, points);
    if (!fault.empty()) throw InputError(source, fault);
  }
  const double largest = *std::max_element(perplexities.begin(), perplexities.end());
  CheckData(x, points, dimension, largest, settings, source);
  const std::string k_fault = NeighbourCountFault(settings.k, largest, points);
  if (!k_fault.empty()) throw InputError(source, k_fault);
  std::vector<affinities::Affinities> computed;
  try {
    computed = affinities::ComputeAffinities(x, points, dimension, perplexities, settings);
  } catch (const std::bad_alloc& error) {
    throw OutOfMemoryFor(error, points, largest, source);
  }
  for (const affinities::Affinities& one : computed) CheckComputedP(one.p, source);
  return computed;
}

template <typename Real>
NearestPoints NearestPointsOf(const Real* x, std::uint64_t points, std::uint64_t dimension, std::uint64_t k,
                              const affinities::AffinitySettings& settings, const std::string& source) {
  CheckPointCount(points, dimension, PointsRole::kData, source);
  if (k == 0 || k >= points) {
    throw InputError(source, "k must be at least 1 and below the number of points (" + std::to_string(points) +
                                 "); it is " + std::to_string(k));
  }
  CheckCoordinates(std::span<const Real>(x, points * dimension), source);
  CheckMetric(x, points, dimension, settings, source);
  NearestPoints nearest;
  nearest.n = points;
  nearest.k = k;
  const affinities::NeighbourLists lists =
      affinities::NearestNeighbours(x, points, dimension, k, settings, nearest.found);
  nearest.indices.assign(lists.indices.begin(), lists.indices.end());
  nearest.distances.assign(lists.squared_distances.begin(), lists.squared_distances.end());
  if (settings.metric == Metric::kEuclidean) {
    for (double& distance : nearest.distances) distance = std::sqrt(distance);
  }
  return nearest;
}

template std::vector<affinities::Affinities> AffinitiesFromData(const double*, std::uint64_t, std::uint64_t,
                                                                std::span<const double>,
                                                                const affinities::AffinitySettings&,
                                                                const std::string&);
template std::vector<affinities::Affinities> AffinitiesFromData(const float*, std::uint64_t, std::uint64_t,
                                                                std::span<const double>,
                                                                const affinities::AffinitySettings&,
                                                                const std::string&);
template NearestPoints NearestPointsOf(const double*, std::uint64_t, std::uint64_t, std::uint64_t,
                                       const affinities::AffinitySettings&, const std::string&);
template NearestPoints NearestPointsOf(const float*, std::uint64_t, std::uint64_t, std::uint64_t,
                                       const affinities::AffinitySettings&, const std::string&);

}  // namespace tsneloss::core
