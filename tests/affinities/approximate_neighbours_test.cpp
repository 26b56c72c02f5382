// The approximate search against every pair: the share of true neighbours it finds,
// its own estimate of that share, and lists ordered and measured as the exact search's;
// on tied data, the sample's ties seen and the lists not trusted.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <random>
#include <utility>
#include <vector>

#include "affinities/approximate_neighbours.hpp"

namespace {

// The squared distance, plainly: the sum over the coordinates in order.
double SquaredDistance(const double* a, const double* b, std::size_t d) {
  double sum = 0;
  for (std::size_t c = 0; c < d; ++c) sum += (a[c] - b[c]) * (a[c] - b[c]);
  return sum;
}

// Clusters of different widths in 12 dimensions, a few points repeated.
std::vector<double> ClusteredPoints(std::size_t n, std::size_t d, unsigned seed) {
  std::mt19937_64 random(seed);
  std::normal_distribution<double> normal;
  std::vector<double> centres(8 * d);
  for (double& c : centres) c = 6 * normal(random);
  std::vector<double> x(n * d);
  for (std::size_t i = 0; i < n; ++i) {
    const std::size_t cluster = i % 8;
    for (std::size_t c = 0; c < d; ++c) x[i * d + c] = centres[cluster * d + c] + (0.5 + cluster) * normal(random);
  }
  for (std::size_t i = 0; i < n; i += 97) std::copy_n(x.begin() + 5 * d, d, x.begin() + i * d);
  return x;
}

TEST(ApproximateNeighbours, FindsMostTrueNeighboursAndEstimatesTheShare) {
  const std::size_t n = 4000, d = 12, k = 31;
  const std::vector<double> x = ClusteredPoints(n, d, 7);
  const tsneloss::affinities::ApproximateSearch search = tsneloss::affinities::ApproximateNeighbours(x.data(), n, d, k, {2, {}});
  ASSERT_EQ(search.lists.indices.size(), n * k);
  std::size_t found = 0;
  std::vector<std::pair<double, std::int32_t>> all;
  for (std::size_t i = 0; i < n; ++i) {
    all.clear();
    for (std::size_t j = 0; j < n; ++j) {
      if (j != i) all.emplace_back(SquaredDistance(&x[i * d], &x[j * d], d), static_cast<std::int32_t>(j));
    }
    std::nth_element(all.begin(), all.begin() + k - 1, all.end());
    for (std::size_t m = 0; m < k; ++m) {
      const std::int32_t j = search.lists.indices[i * k + m];
      ASSERT_NE(static_cast<std::size_t>(j), i);
      const double exact = SquaredDistance(&x[i * d], &x[static_cast<std::size_t>(j) * d], d);
      ASSERT_EQ(search.lists.squared_distances[i * k + m], static_cast<float>(exact));
      if (m > 0) {
        const std::int32_t before = search.lists.indices[i * k + m - 1];
        const double previous = SquaredDistance(&x[i * d], &x[static_cast<std::size_t>(before) * d], d);
        ASSERT_TRUE(previous < exact || (previous == exact && before < j)) << "point " << i << ", place " << m;
      }
      found += std::make_pair(exact, j) <= all[k - 1] ? 1 : 0;
    }
  }
  const double recall = static_cast<double>(found) / static_cast<double>(n * k);
  EXPECT_GE(recall, 0.98);
  EXPECT_GE(search.recall, 0.985);
  EXPECT_NEAR(search.recall, recall, 0.01);
  // 1000 points, or every point where those could not tell the share from 98.5%.
  EXPECT_TRUE(search.sample == 1000u || search.sample == n) << search.sample;
  EXPECT_TRUE(tsneloss::affinities::Trustworthy(search));
}

// The estimate as a transcription counts it on the sample's rows of the lists: a
// neighbour is found when it ranks among the true k by (distance, index). The sample:
// 1000 points drawn, then, where it grew to every point, the others in order.
struct Transcribed {
  double recall;
  double error;
  double tied_share;
};

Transcribed TranscribedEstimate(const std::vector<double>& x, std::size_t n, std::size_t d, std::size_t k,
                                const tsneloss::affinities::NeighbourLists& lists, std::size_t sample) {
  std::vector<double> shares;
  std::size_t tied = 0;
  std::vector<std::pair<double, std::int32_t>> all;
  std::vector<std::size_t> points = tsneloss::affinities::SamplePoints(n, 1000);
  for (std::size_t i = 0; i < n && sample == n; ++i) {
    if (!std::binary_search(points.begin(), points.begin() + 1000, i)) points.push_back(i);
  }
  for (const std::size_t i : points) {
    all.clear();
    for (std::size_t j = 0; j < n; ++j) {
      if (j != i) all.emplace_back(SquaredDistance(&x[i * d], &x[j * d], d), static_cast<std::int32_t>(j));
    }
    std::sort(all.begin(), all.end());
    tied += all[k].first == all[k - 1].first ? 1 : 0;
    std::size_t found = 0;
    for (std::size_t m = 0; m < k; ++m) {
      const std::int32_t j = lists.indices[i * k + m];
      found += std::make_pair(SquaredDistance(&x[i * d], &x[static_cast<std::size_t>(j) * d], d), j) <= all[k - 1];
    }
    shares.push_back(static_cast<double>(found) / static_cast<double>(k));
  }
  double mean = 0;
  for (const double share : shares) mean += share;
  const auto count = static_cast<double>(points.size());
  mean /= count;
  double squares = 0;
  for (const double share : shares) squares += (share - mean) * (share - mean);
  return {mean, 2 * std::sqrt(squares / (count - 1) / count), static_cast<double>(tied) / count};
}

// Data quantised or repeated: most points tie with others at their k-th neighbour's
// distance, and which of the tied points the index meets first decides P.
TEST(ApproximateNeighbours, TiedDataAreSeenAndNotTrusted) {
  const std::size_t n = 2000, k = 31;
  std::mt19937_64 random(11);
  std::normal_distribution<double> normal;
  std::uniform_int_distribution<int> level(0, 2);
  struct Case {
    const char* name;
    std::size_t d;
    std::vector<double> x;
  };
  std::vector<Case> cases = {{"one dimension rounded to 0.1", 1, {}},
                             {"integers 0 to 2 in three dimensions", 3, {}},
                             {"each point three times", 4, {}}};
  for (std::size_t i = 0; i < n; ++i) cases[0].x.push_back(std::round(10 * normal(random)) / 10);
  for (std::size_t e = 0; e < 3 * n; ++e) cases[1].x.push_back(level(random));
  for (std::size_t i = 0; i < n; ++i) {
    for (std::size_t c = 0; c < 4; ++c) cases[2].x.push_back(i % 3 == 0 ? normal(random) : cases[2].x[(i - i % 3) * 4 + c]);
  }
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const auto search = tsneloss::affinities::ApproximateNeighbours(c.x.data(), n, c.d, k, {1, {}});
    const Transcribed expected = TranscribedEstimate(c.x, n, c.d, k, search.lists, search.sample);
    EXPECT_EQ(search.recall, expected.recall);
    EXPECT_EQ(search.recall_error, expected.error);
    EXPECT_EQ(search.tied_share, expected.tied_share);
    EXPECT_GT(search.tied_share, tsneloss::affinities::kTiedShareLimit);
    EXPECT_FALSE(tsneloss::affinities::Trustworthy(search));
  }
}

}  // namespace
