// The distances neighbours are chosen by. Euclidean hands on squared distances, as
// t-SNE squares them; the others hand on the distance itself, as t-SNE takes every
// metric but the Euclidean one. Cosine and correlation are searched as squared
// Euclidean distances between unit rows (correlation's centred first): for unit a and
// b, |a - b|^2 / 2 = 1 - cos(a, b), so one search serves every metric.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include "affinities/neighbours.hpp"

namespace tsneloss::affinities {

enum class Metric {
  kEuclidean,
  kCosine,
  kCorrelation,
  kPrecomputed,  // the caller's own distances, given as neighbour candidates
};

// "euclidean", "cosine", "correlation", "precomputed".
std::string MetricName(Metric metric);
std::optional<Metric> ParseMetric(const std::string& name);

// Whether the metric is searched on unit rows.
bool OnUnitRows(Metric metric);

// The first of the n rows of x that has no direction under `metric` (all zeros for
// cosine; all one value for correlation), if any.
template <typename Real>
std::optional<std::size_t> FirstRowWithoutDirection(const Real* x, std::size_t n, std::size_t d, Metric metric);

// The rows of x as the search measures them for a metric on unit rows: divided by
// their norm, after subtracting their mean for correlation. No row may lack a direction.
// Real is double or float (widened exactly).
template <typename Real>
LargeVector<double> UnitRows(const Real* x, std::size_t n, std::size_t d, Metric metric);

// The lists' squared distances between unit rows turned into the metric's distances.
void ToMetricDistances(NeighbourLists& lists, Metric metric);

}  // namespace tsneloss::affinities
