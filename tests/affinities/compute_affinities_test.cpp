// P from data where t-SNE's own arithmetic gives none: spreads whose every affinity
// underflows, squared distances beyond float, perplexities far below 1. P is finite,
// adds up to 1, and is the same for the data scaled by any power of 2.
#include <gtest/gtest.h>

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

}  // namespace
}  // namespace tsne_test
