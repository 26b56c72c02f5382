// Cosine and correlation as searched: unit rows whose halved squared distances are
// 1 - cos, written plainly here, at scales where a plain norm overflows or
// underflows; rows without a direction found; a perplexity list with each call's bits.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "affinities/affinities.hpp"
#include "affinities/metric.hpp"

namespace tsne_test {
namespace {

using tsneloss::affinities::Metric;

// 1 - the cosine (of the rows less their means for correlation), plainly, in long double.
double PlainDistance(const double* a, const double* b, std::size_t d, Metric metric) {
  long double mean_a = 0, mean_b = 0;
  if (metric == Metric::kCorrelation) {
    for (std::size_t c = 0; c < d; ++c) mean_a += a[c], mean_b += b[c];
    mean_a /= d, mean_b /= d;
  }
  long double dot = 0, aa = 0, bb = 0;
  for (std::size_t c = 0; c < d; ++c) {
    const long double u = a[c] - mean_a, v = b[c] - mean_b;
    dot += u * v, aa += u * u, bb += v * v;
  }
  return static_cast<double>(1 - dot / std::sqrt(aa * bb));
}

TEST(UnitRowsTest, HalvedSquaredDistancesAreTheMetricsAtEveryScale) {
  for (const Metric metric : {Metric::kCosine, Metric::kCorrelation}) {
    for (const int power : {-1060, -500, 0, 500, 1000}) {
      SCOPED_TRACE(tsneloss::affinities::MetricName(metric) + " at 2^" + std::to_string(power));
      std::mt19937 rng(3);
      std::normal_distribution<double> normal;
      constexpr std::size_t kN = 6, kD = 5;
      std::vector<double> x(kN * kD);
      // Scaled values of doubles' own range: a plain sum of squares would leave it.
      for (double& value : x) value = std::ldexp(normal(rng), power);
      const auto unit = tsneloss::affinities::UnitRows(x.data(), kN, kD, metric);
      for (std::size_t i = 0; i < kN; ++i) {
        for (std::size_t j = 0; j < kN; ++j) {
          double squared = 0;
          for (std::size_t c = 0; c < kD; ++c) squared += std::pow(unit[i * kD + c] - unit[j * kD + c], 2);
          if (power > -1060) {
            EXPECT_NEAR(squared / 2, PlainDistance(&x[i * kD], &x[j * kD], kD, metric), 1e-14) << i << ", " << j;
          } else {
            EXPECT_TRUE(std::isfinite(squared));  // subnormal inputs: only their direction's rounding
          }
        }
      }
    }
  }
}

TEST(UnitRowsTest, RowsWithoutADirectionAreFound) {
  const std::vector<double> x = {1, 2, 0, 0, 3, 3, 0, -0.0};
  EXPECT_EQ(tsneloss::affinities::FirstRowWithoutDirection(x.data(), 4, 2, Metric::kCosine), 1u);
  EXPECT_EQ(tsneloss::affinities::FirstRowWithoutDirection(x.data(), 4, 2, Metric::kCorrelation), 1u);
  EXPECT_EQ(tsneloss::affinities::FirstRowWithoutDirection(x.data() + 4, 1, 2, Metric::kCosine), std::nullopt);
  EXPECT_EQ(tsneloss::affinities::FirstRowWithoutDirection(x.data(), 1, 2, Metric::kCorrelation), std::nullopt);
  EXPECT_EQ(tsneloss::affinities::FirstRowWithoutDirection(x.data() + 4, 1, 2, Metric::kCorrelation), 0u);
}

TEST(PerplexityListTest, EachPIsItsOwnCallsBits) {
  std::mt19937 rng(7);
  std::normal_distribution<double> normal;
  constexpr std::size_t kN = 120, kD = 4;
  std::vector<double> x(kN * kD);
  for (double& value : x) value = normal(rng);
  const std::vector<double> perplexities = {30, 2, 9.5};
  for (const Metric metric : {Metric::kEuclidean, Metric::kCosine}) {
    SCOPED_TRACE(tsneloss::affinities::MetricName(metric));
    tsneloss::affinities::AffinitySettings settings;
    settings.neighbours = tsneloss::affinities::NeighbourMethod::kExact;
    settings.metric = metric;
    settings.threads = 2;
    const auto all = tsneloss::affinities::ComputeAffinities(x.data(), kN, kD, perplexities, settings);
    ASSERT_EQ(all.size(), perplexities.size());
    for (std::size_t m = 0; m < perplexities.size(); ++m) {
      settings.perplexity = perplexities[m];
      const auto alone = tsneloss::affinities::ComputeAffinities(x.data(), kN, kD, settings);
      EXPECT_EQ(all[m].p.row_starts, alone.p.row_starts) << perplexities[m];
      EXPECT_EQ(all[m].p.columns, alone.p.columns) << perplexities[m];
      EXPECT_EQ(all[m].p.values, alone.p.values) << perplexities[m];
    }
  }
}

}  // namespace
}  // namespace tsne_test
