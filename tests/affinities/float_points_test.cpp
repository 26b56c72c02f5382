// Points in float give what the same values in double give, bit for bit: the exact
// search on every path (its candidates re-measured from the float points), the graph
// index on one thread, and P by each metric, all pairs included.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "affinities/affinities.hpp"
#include "affinities/approximate_neighbours.hpp"
#include "affinities/exact_tile.hpp"
#include "support/instruction_set.hpp"

namespace tsne_test {
namespace {

using tsneloss::affinities::Metric;
using tsneloss::affinities::NeighbourMethod;
using tsneloss::support::InstructionSet;

struct Points {
  std::vector<float> single;
  std::vector<double> wide;  // the same values
};

// Clustered, a few points repeated (ties), some far out (the candidate pass's bound).
Points Clustered(std::size_t n, std::size_t d) {
  std::mt19937 rng(17);
  std::normal_distribution<float> normal;
  Points points;
  for (std::size_t e = 0; e < n * d; ++e) points.single.push_back(normal(rng) + 8.0f * static_cast<float>(e / d % 3));
  for (std::size_t i = 0; i < n; i += 23) std::copy_n(points.single.begin(), d, points.single.begin() + i * d);
  for (std::size_t c = 0; c < d; ++c) points.single[(n - 1) * d + c] = 3e4f * static_cast<float>(c + 1);
  points.wide.assign(points.single.begin(), points.single.end());
  return points;
}

TEST(FloatPoints, ExactNeighboursOnEveryPathAreThoseOfTheSameDoubles) {
  constexpr std::size_t kN = 700, kD = 9, kK = 20;
  const Points points = Clustered(kN, kD);
  for (const InstructionSet path : {InstructionSet::kScalar, InstructionSet::kAvx2, InstructionSet::kAvx512}) {
    if (!tsneloss::support::Available(path)) continue;
    SCOPED_TRACE(tsneloss::support::Name(path));
    const auto single = tsneloss::affinities::detail::ExactNeighboursOnPath(points.single.data(), kN, kD, kK, {2, {}}, path);
    const auto wide = tsneloss::affinities::detail::ExactNeighboursOnPath(points.wide.data(), kN, kD, kK, {2, {}}, path);
    EXPECT_EQ(single.indices, wide.indices);
    EXPECT_EQ(single.squared_distances, wide.squared_distances);
  }
  const auto single = tsneloss::affinities::ApproximateNeighbours(points.single.data(), kN, kD, kK, {1, {}});
  const auto wide = tsneloss::affinities::ApproximateNeighbours(points.wide.data(), kN, kD, kK, {1, {}});
  EXPECT_EQ(single.lists.indices, wide.lists.indices);
  EXPECT_EQ(single.lists.squared_distances, wide.lists.squared_distances);
  EXPECT_EQ(single.recall, wide.recall);
}

TEST(FloatPoints, PIsThatOfTheSameDoublesForEveryMetricAndMethod) {
  constexpr std::size_t kN = 300, kD = 6;
  const Points points = Clustered(kN, kD);
  const std::vector<double> perplexities = {5, 12};
  for (const Metric metric : {Metric::kEuclidean, Metric::kCosine, Metric::kCorrelation}) {
    for (const NeighbourMethod method : {NeighbourMethod::kExact, NeighbourMethod::kApproximate, NeighbourMethod::kAll}) {
      if (method == NeighbourMethod::kAll && metric != Metric::kEuclidean) continue;
      SCOPED_TRACE(tsneloss::affinities::MetricName(metric) + " " + tsneloss::affinities::NeighbourMethodName(method));
      tsneloss::affinities::AffinitySettings settings;
      settings.metric = metric;
      settings.neighbours = method;
      settings.threads = 1;
      const auto single = tsneloss::affinities::ComputeAffinities(points.single.data(), kN, kD, perplexities, settings);
      const auto wide = tsneloss::affinities::ComputeAffinities(points.wide.data(), kN, kD, perplexities, settings);
      for (std::size_t m = 0; m < perplexities.size(); ++m) {
        EXPECT_EQ(single[m].p.columns, wide[m].p.columns);
        EXPECT_EQ(single[m].p.values, wide[m].p.values);
      }
    }
  }
}

}  // namespace
}  // namespace tsne_test
