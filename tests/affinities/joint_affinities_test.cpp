// The joint P against (C + C^T) / sum written out pair by pair, bit for bit: mutual
// and one-sided neighbours, a conditional value of zero, rows on either side of the
// thread pool's tasks. Rows put in index order as a stable sort puts them, on every
// path, repeated indices included.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <random>
#include <utility>
#include <vector>

#include "affinities/joint_affinities.hpp"
#include "affinities/row_sort.hpp"
#include "bits.hpp"
#include "plain_affinities.hpp"

namespace tsne_test {
namespace {

using Position = std::pair<std::int32_t, std::int32_t>;

// C as n rows of k (column, value) pairs, columns increasing.
struct Conditional {
  std::size_t n;
  std::size_t k;
  std::vector<std::int32_t> columns;
  std::vector<double> values;
};

// Row by row in column order, as a map keeps them; one value for (i, j) and (j, i), so
// that matching it is symmetry to the bit. Summed row by row, then the row sums as
// NumPy sums them, then multiplied by the sum's reciprocal.
std::map<Position, double> PlainJoint(const Conditional& c) {
  std::map<Position, double> given;
  for (std::size_t e = 0; e < c.n * c.k; ++e) given[{static_cast<std::int32_t>(e / c.k), c.columns[e]}] = c.values[e];
  std::map<Position, double> p;
  for (const auto& [at, value] : given) {
    const auto mirror = given.find({at.second, at.first});
    p[at] = mirror == given.end() ? value : value + mirror->second;
    p[{at.second, at.first}] = p[at];
  }
  std::vector<double> row_sums(c.n, 0.0);
  for (const auto& [at, value] : p) row_sums[static_cast<std::size_t>(at.first)] += value;
  const double scale = 1.0 / PlainNumpySum(row_sums);
  for (auto& [at, value] : p) value *= scale;
  return p;
}

void ExpectPlainJoint(const Conditional& c) {
  const std::map<Position, double> expected = PlainJoint(c);
  for (const unsigned threads : {1u, 3u}) {
    SCOPED_TRACE(::testing::Message() << "threads " << threads);
    const tsneloss::affinities::SparseRows p = tsneloss::affinities::JointAffinities(c.columns.data(), c.values.data(), c.n, c.k, threads);
    ASSERT_EQ(p.n, c.n);
    ASSERT_EQ(p.row_starts.size(), c.n + 1);
    ASSERT_EQ(p.values.size(), expected.size());
    auto want = expected.begin();
    for (std::size_t i = 0; i < c.n; ++i) {
      for (auto e = p.row_starts[i]; e < p.row_starts[i + 1]; ++e, ++want) {
        const Position at{static_cast<std::int32_t>(i), p.columns[static_cast<std::size_t>(e)]};
        ASSERT_EQ(at, want->first);
        ASSERT_TRUE(SameBits(p.values[static_cast<std::size_t>(e)], want->second)) << at.first << ", " << at.second;
      }
    }
  }
}

// Each point's k nearest on a ring of n: most neighbours are mutual, those at the
// widest step are one-sided where k is odd.
Conditional Ring(std::size_t n, std::size_t k, unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<double> value(0.0, 1.0);
  Conditional c{n, k, {}, {}};
  for (std::size_t i = 0; i < n; ++i) {
    std::vector<std::int32_t> row;
    for (std::size_t step = 1; row.size() < k; ++step) {
      row.push_back(static_cast<std::int32_t>((i + step) % n));
      if (row.size() < k) row.push_back(static_cast<std::int32_t>((i + n - step) % n));
    }
    std::sort(row.begin(), row.end());
    for (const std::int32_t j : row) {
      c.columns.push_back(j);
      c.values.push_back(value(rng));
    }
  }
  return c;
}

TEST(JointAffinities, AsThePlainSumPairByPair) {
  const struct {
    const char* name;
    Conditional c;
  } cases[] = {
      {"one pair, mutual", {2, 1, {1, 0}, {0.3, 0.7}}},
      {"a chain: 0 and 2 hold 1, 1 holds 0", {3, 1, {1, 0, 1}, {1.0, 1.0, 0.25}}},
      {"a zero stays stored", {3, 2, {1, 2, 0, 2, 0, 1}, {1.0, 0.0, 0.5, 0.5, 0.0, 1.0}}},
      {"a ring, k odd", Ring(50, 3, 1)},
      {"a ring past 128 row sums", Ring(300, 4, 2)},
      {"a ring past the pool's task of rows", Ring(4500, 2, 3)},
  };
  for (const auto& [name, c] : cases) {
    SCOPED_TRACE(name);
    ExpectPlainJoint(c);
  }
}

// Rows of every length around the vector width and past the ranked length, indices
// drawn from few values so that most repeat: index order, equal indices in the order
// given, each distance still beside its index.
TEST(SortRowsByIndex, AsAStableSortOnEveryPath) {
  std::mt19937 rng(5);
  for (const std::size_t k : {1, 7, 16, 17, 91, 512, 513}) {
    for (const std::size_t values : {std::size_t{3}, 4 * k}) {
      SCOPED_TRACE(::testing::Message() << "k " << k << ", indices below " << values);
      constexpr std::size_t kN = 40;
      std::vector<std::int32_t> indices(kN * k);
      std::vector<float> distances(kN * k);
      for (std::size_t e = 0; e < kN * k; ++e) {
        indices[e] = static_cast<std::int32_t>(rng() % values);
        distances[e] = static_cast<float>(e);  // tells the entries apart
      }
      std::vector<std::pair<std::int32_t, float>> expected;
      for (std::size_t e = 0; e < kN * k; ++e) expected.emplace_back(indices[e], distances[e]);
      for (std::size_t i = 0; i < kN; ++i) {
        std::stable_sort(expected.begin() + i * k, expected.begin() + (i + 1) * k,
                         [](const auto& a, const auto& b) { return a.first < b.first; });
      }
      std::vector<std::int32_t> plain_indices = indices;
      std::vector<float> plain_distances = distances;
      for (std::size_t i = 0; i < kN; ++i) {
        tsneloss::affinities::detail::SortRowByIndex(plain_indices.data() + i * k, plain_distances.data() + i * k, k);
      }
      tsneloss::affinities::SortRowsByIndex(indices.data(), distances.data(), kN, k, 3);
      for (std::size_t e = 0; e < kN * k; ++e) {
        ASSERT_EQ(indices[e], expected[e].first) << e;
        ASSERT_EQ(distances[e], expected[e].second) << e;
        ASSERT_EQ(plain_indices[e], expected[e].first) << e;
        ASSERT_EQ(plain_distances[e], expected[e].second) << e;
      }
    }
  }
}

}  // namespace
}  // namespace tsne_test
