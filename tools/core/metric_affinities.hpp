// P from the data by any metric, at several perplexities from one search, and the
// neighbours themselves: the rules such requests obey and the computations, for the
// command line and the package alike.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "affinities/affinities.hpp"

namespace tsneloss::core {

using affinities::Metric;
using affinities::MetricName;
using affinities::ParseMetric;

// The metric of that name; throws InputError naming `source` for any other name.
Metric MetricNamed(const std::string& name, const std::string& source);

// The message for k (0: the default) that cannot serve `perplexity` on `points`
// points, empty for one that can: at most N - 1, and no fewer than the default
// min(N - 1, floor(3 perplexity + 1)), below which the perplexity search would see
// fewer neighbours than t-SNE gives it.
std::string NeighbourCountFault(std::uint64_t k, double perplexity, std::uint64_t points);

// P from the data at each perplexity (settings.perplexity unused), from one search.
// Throws InputError naming `source` as CheckAffinityRequest does (the largest
// perplexity's memory), for a perplexity it refuses, the first coordinate that is not
// finite ("element k" of the row-major buffer), a row the metric refuses (cosine's all
// 0, correlation's all one value), "all" with another metric than Euclidean,
// "precomputed" (not for data) and k (NeighbourCountFault). Each P is checked
// (CheckComputedP); a failed allocation throws OutOfMemoryError naming it. Real is
// double or float: float data give the P of the same values in double, with no copy.
template <typename Real>
std::vector<affinities::Affinities> AffinitiesFromData(const Real* x, std::uint64_t points, std::uint64_t dimension,
                                                       std::span<const double> perplexities,
                                                       const affinities::AffinitySettings& settings,
                                                       const std::string& source);

// Each point's k nearest other points (settings.k unused), ordered nearest first
// (ties to the lower index), with the metric's distance: Euclidean's not squared.
struct NearestPoints {
  std::uint64_t n = 0;
  std::uint64_t k = 0;
  std::vector<std::int32_t> indices;  // n by k
  std::vector<double> distances;      // n by k
  affinities::Affinities found;       // the method used and its estimate; no P
};

// Throws InputError naming `source` for fewer than two points, coordinates that are
// not finite, k outside [1, N), and the metric's rules as AffinitiesFromData's.
template <typename Real>
NearestPoints NearestPointsOf(const Real* x, std::uint64_t points, std::uint64_t dimension, std::uint64_t k,
                              const affinities::AffinitySettings& settings, const std::string& source);

}  // namespace tsneloss::core
