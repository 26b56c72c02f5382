// P from data where t-SNE's own arithmetic gives none: spreads whose every affinity
// underflows, squared distances beyond float, perplexities far below 1. P is finite,
// adds up to 1, and is the same for the data scaled by any power of 2.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

#include "affinities/affinities.hpp"
#include "bits.hpp"

namespace tsne_test {
namespace {

using tsneloss::affinities::Affinities;
using tsneloss::affinities::NeighbourMethod;

struct Data {
  std::size_t n;
  std::size_t d;
  std::vector<double> x;
};

// Points 1 apart on a line, or normal in three dimensions, times 2^power.
Data Scaled(bool grid, int power) {
  Data data{grid ? 20u : 30u, grid ? 1u : 3u, {}};
  std::mt19937 rng(5);
  std::normal_distribution<double> normal;
  for (std::size_t e = 0; e < data.n * data.d; ++e) {
    data.x.push_back(std::ldexp(grid ? static_cast<double>(e) : normal(rng), power));
  }
  return data;
}

Affinities Computed(const Data& data, double perplexity, NeighbourMethod method) {
  tsneloss::affinities::AffinitySettings settings;
  settings.perplexity = perplexity;
  settings.neighbours = method;
  settings.threads = 2;
  return tsneloss::affinities::ComputeAffinities(data.x.data(), data.n, data.d, settings);
}

void ExpectFiniteAddingUpToOne(const Affinities& computed) {
  EXPECT_TRUE(computed.scaled_search);
  double sum = 0;
  for (const double value : computed.p.values) {
    ASSERT_TRUE(std::isfinite(value));
    sum += value;
  }
  EXPECT_NEAR(sum, 1.0, 1e-12);
}

TEST(ComputeAffinities, FiniteAndFreeOfScaleWhereTsnesArithmeticGivesNoP) {
  const struct {
    const char* name;
    bool grid;
    int power;  // 2^57 is about 1.4e17, 2^700 about 5e210
  } cases[] = {
      {"grid 1.4e17 apart", true, 57},
      {"grid 5e210 apart: squared distances overflow", true, 700},
      {"normal, times 5e210", false, 700},
  };
  for (const NeighbourMethod method : {NeighbourMethod::kExact, NeighbourMethod::kAll}) {
    for (const auto& c : cases) {
      SCOPED_TRACE(::testing::Message() << c.name << ", " << tsneloss::affinities::NeighbourMethodName(method));
      const Affinities computed = Computed(Scaled(c.grid, c.power), 3.0, method);
      ExpectFiniteAddingUpToOne(computed);
      const Affinities same = Computed(Scaled(c.grid, 60), 3.0, method);
      ASSERT_EQ(computed.p.values.size(), same.p.values.size());
      for (std::size_t e = 0; e < same.p.values.size(); ++e) {
        ASSERT_EQ(computed.p.columns[e], same.p.columns[e]);
        ASSERT_TRUE(SameBits(computed.p.values[e], same.p.values[e])) << e;
      }
    }
  }
}

// The library takes any perplexity above 0 (the tools refuse those below 1): each
// point's whole affinity then goes to its nearest neighbour, short of the perplexity.
TEST(ComputeAffinities, PerplexitiesFarBelowOneGiveAFiniteP) {
  for (const double perplexity : {1e-10, 1e-300, 4.9e-324}) {
    SCOPED_TRACE(perplexity);
    const Affinities computed = Computed(Scaled(false, 0), perplexity, NeighbourMethod::kExact);
    ExpectFiniteAddingUpToOne(computed);
    EXPECT_EQ(computed.unmet_points, 30u);
  }
}

std::vector<std::uint64_t> ValueBits(const tsneloss::affinities::SparseRows& p) {
  return BitsOf(std::vector<double>(p.values.begin(), p.values.end()));
}

// The phases begin in order, again for the scaled search, and telling progress
// leaves P's bits alone.
TEST(ComputeAffinities, TellsItsPhasesInOrder) {
  using tsneloss::affinities::Phase;
  const struct {
    NeighbourMethod method;
    int power;
    std::vector<Phase> phases;
  } cases[] = {
      {NeighbourMethod::kExact, 0, {Phase::kNeighbours, Phase::kPerplexities}},
      {NeighbourMethod::kAll, 0, {Phase::kAllPairs}},
      {NeighbourMethod::kExact, 700, {Phase::kNeighbours, Phase::kPerplexities, Phase::kNeighbours,
                                      Phase::kPerplexities}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << tsneloss::affinities::NeighbourMethodName(c.method) << " " << c.power);
    const Data data = Scaled(false, c.power);
    tsneloss::affinities::AffinitySettings settings;
    settings.perplexity = 3.0;
    settings.neighbours = c.method;
    std::vector<Phase> phases;
    settings.phase = [&phases](Phase phase) { phases.push_back(phase); };
    settings.progress = [](double) {};
    const Affinities told = tsneloss::affinities::ComputeAffinities(data.x.data(), data.n, data.d, settings);
    EXPECT_EQ(phases, c.phases);
    EXPECT_EQ(ValueBits(told.p), ValueBits(Computed(data, 3.0, c.method).p));
  }
}

// Enough rows for the perplexity search to go in several slices: the same P and
// count of unmet rows as in one, the share told rising to 1.
TEST(AffinitiesFromNeighbours, ProgressInSlicesGivesTheSameBits) {
  const std::size_t n = 200000;
  const std::size_t k = 3;
  const auto lists = [&] {
    tsneloss::affinities::NeighbourLists made{n, k, {}, {}};
    std::mt19937 rng(8);
    for (std::size_t i = 0; i < n; ++i) {
      for (std::size_t j = 1; j <= k; ++j) {
        made.indices.push_back(static_cast<std::int32_t>((i + j * 7919) % n));
        // Some rows all at one distance: their search misses the perplexity.
        made.squared_distances.push_back(i % 1000 == 0 ? 1.0f : static_cast<float>(rng() % 1000) / 10);
      }
    }
    return made;
  };
  auto plain_lists = lists();
  const auto plain = tsneloss::affinities::AffinitiesFromNeighbours(plain_lists, 2.5, 2);
  std::vector<double> told_shares;
  auto told_lists = lists();
  const auto told = tsneloss::affinities::AffinitiesFromNeighbours(
      told_lists, 2.5, 2, tsneloss::affinities::PrecisionSearch::kTsne,
      [&told_shares](double share) { told_shares.push_back(share); });
  EXPECT_GT(plain.unmet_points, 0u);
  EXPECT_EQ(told.unmet_points, plain.unmet_points);
  EXPECT_EQ(ValueBits(told.p), ValueBits(plain.p));
  ASSERT_GT(told_shares.size(), 1u);
  EXPECT_TRUE(std::is_sorted(told_shares.begin(), told_shares.end()));
  EXPECT_EQ(told_shares.back(), 1.0);
}

}  // namespace
}  // namespace tsne_test
