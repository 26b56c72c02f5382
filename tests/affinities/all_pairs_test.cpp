// The all-pairs P against t-SNE's exact method written out on a dense matrix, bit for
// bit: distances summed coordinate by coordinate, the search per row, P + P^T, the
// dense sum (zero diagonal included) as NumPy takes it, and the floor.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "affinities/all_pairs.hpp"
#include "bits.hpp"
#include "plain_affinities.hpp"

namespace tsne_test {
namespace {

// The dense n-by-n P, row after row.
std::vector<double> PlainAllPairs(const std::vector<double>& x, std::size_t n, std::size_t d, double perplexity) {
  std::vector<double> conditional(n * n, 0.0);
  for (std::size_t i = 0; i < n; ++i) {
    std::vector<float> distances;
    for (std::size_t j = 0; j < n; ++j) {
      if (j == i) continue;
      double sum = 0;
      for (std::size_t c = 0; c < d; ++c) sum += (x[i * d + c] - x[j * d + c]) * (x[i * d + c] - x[j * d + c]);
      distances.push_back(static_cast<float>(sum));
    }
    const PlainRow row = PlainConditionalRow(distances, perplexity);
    for (std::size_t j = 0, m = 0; j < n; ++j) {
      if (j != i) conditional[i * n + j] = row.p[m++];
    }
  }
  std::vector<double> joint(n * n);
  for (std::size_t i = 0; i < n; ++i) {
    for (std::size_t j = 0; j < n; ++j) joint[i * n + j] = conditional[i * n + j] + conditional[j * n + i];
  }
  const double total = PlainNumpySum(joint);
  for (double& value : joint) value = std::max(value / total, std::numeric_limits<double>::epsilon());
  return joint;
}

TEST(AllPairsAffinities, AsTheDenseExactMethod) {
  struct Case {
    const char* name;
    std::size_t n;
    std::size_t d;
    double perplexity;
    bool coinciding;  // every fourth point a copy of the one before
  };
  const Case cases[] = {
      {"two points", 2, 1, 0.5, false},
      {"a handful, coinciding points", 9, 3, 3.0, true},
      {"past a tile and the pool's tasks", 70, 2, 10.0, false},
      {"past NumPy's buffer of the dense sum", 100, 4, 30.0, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::mt19937 rng(static_cast<unsigned>(c.n));
    std::normal_distribution<double> normal;
    std::vector<double> x(c.n * c.d);
    for (std::size_t i = 0; i < c.n; ++i) {
      for (std::size_t k = 0; k < c.d; ++k) {
        x[i * c.d + k] = c.coinciding && i % 4 == 3 ? x[(i - 1) * c.d + k] : normal(rng);
      }
    }
    x[c.d - 1] += 50;  // one point far from the rest
    const std::vector<double> expected = PlainAllPairs(x, c.n, c.d, c.perplexity);
    for (const unsigned threads : {1u, 3u}) {
      SCOPED_TRACE(threads);
      const tsneloss::affinities::SparseRows p = tsneloss::affinities::AllPairsAffinities(x.data(), c.n, c.d, c.perplexity, threads, {}).p;
      ASSERT_EQ(p.values.size(), c.n * (c.n - 1));
      for (std::size_t i = 0; i < c.n; ++i) {
        ASSERT_EQ(p.row_starts[i], static_cast<std::int64_t>(i * (c.n - 1)));
        for (std::size_t e = i * (c.n - 1), j = 0; j < c.n; ++j) {
          if (j == i) continue;
          ASSERT_EQ(p.columns[e], static_cast<std::int32_t>(j));
          ASSERT_TRUE(SameBits(p.values[e++], expected[i * c.n + j])) << i << ", " << j;
        }
      }
    }
  }
}

}  // namespace
}  // namespace tsne_test
