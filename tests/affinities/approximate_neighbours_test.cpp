// The approximate search against every pair: the share of true neighbours it finds,
// its own estimate of that share, and lists ordered and measured as the exact search's.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
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
    const double kth = all[k - 1].first;
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
      found += exact <= kth ? 1 : 0;
    }
  }
  const double recall = static_cast<double>(found) / static_cast<double>(n * k);
  EXPECT_GE(recall, 0.98);
  EXPECT_GE(search.recall, 0.985);
  EXPECT_NEAR(search.recall, recall, 0.01);
  EXPECT_EQ(search.sample, 200u);
}

}  // namespace
