// The perplexity search against its plain transcription, bit for bit: rows that
// converge from either side, rows that never converge, an underflowing far
// neighbour, and many rows over the thread pool's tasks.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "affinities/perplexity_search.hpp"
#include "bits.hpp"
#include "plain_affinities.hpp"

namespace tsne_test {
namespace {

struct SearchCase {
  const char* name;
  std::vector<float> distances;
  double perplexity;
};

void ExpectPlainBits(const std::vector<float>& distances, double perplexity, const double* p, double beta) {
  const PlainRow expected = PlainConditionalRow(distances, perplexity);
  EXPECT_TRUE(SameBits(beta, expected.beta));
  for (std::size_t j = 0; j < distances.size(); ++j) {
    EXPECT_TRUE(SameBits(p[j], expected.p[j])) << "j " << j;
  }
}

TEST(ConditionalRow, AsThePlainSearch) {
  const std::vector<SearchCase> cases = {
      {"beta doubled, then bisected", {0.01f, 0.02f, 0.05f, 0.1f, 0.2f, 0.3f}, 2.0},
      {"beta halved, then bisected", {40.f, 50.f, 60.f, 75.f, 90.f}, 4.0},
      {"converged at once", {1.f, 1.f, 1.f}, 3.0},
      {"one far neighbour underflows", {0.5f, 0.7f, 0.9f, 1.1f, 1e6f}, 3.0},
      {"every term underflows at first", {2000.f, 2100.f, 2300.f, 2600.f}, 2.0},
      {"a single neighbour", {3.f}, 0.5},
  };
  for (const SearchCase& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<double> p(c.distances.size());
    const double beta = tsneloss::affinities::ConditionalRow(c.distances.data(), c.distances.size(), c.perplexity, p.data()).beta;
    ExpectPlainBits(c.distances, c.perplexity, p.data(), beta);
  }
}

TEST(ConditionalRow, StopsWithinTheToleranceOfTheWantedEntropy) {
  const std::vector<float> distances = {0.3f, 0.4f, 1.f, 1.5f, 2.f, 4.f, 9.f};
  for (const double perplexity : {1.5, 3.0, 5.5}) {
    SCOPED_TRACE(perplexity);
    std::vector<double> p(distances.size());
    tsneloss::affinities::ConditionalRow(distances.data(), distances.size(), perplexity, p.data());
    double entropy = 0;
    for (const double pj : p) entropy -= pj * std::log(pj);
    EXPECT_LE(std::fabs(entropy - std::log(perplexity)), 1.1e-5);
  }
}

// Equal distances give the entropy ln k whatever beta: a perplexity of k is met at
// once, any other never, and beta runs for all 100 steps towards the open bound.
TEST(ConditionalRow, EqualDistancesEndAtTheBoundsAfterAllSteps) {
  struct Bound {
    float distance;
    std::size_t k;
    double perplexity;
    double beta;
  };
  for (const Bound& b : {Bound{0.f, 4, 4.0, 1.0}, Bound{0.f, 4, 2.0, std::ldexp(1.0, 100)},
                         Bound{0.f, 2, 2.5, std::ldexp(1.0, -100)}}) {
    SCOPED_TRACE(::testing::Message() << "k " << b.k << " perplexity " << b.perplexity);
    const std::vector<float> distances(b.k, b.distance);
    std::vector<double> p(b.k);
    const double beta = tsneloss::affinities::ConditionalRow(distances.data(), b.k, b.perplexity, p.data()).beta;
    EXPECT_TRUE(SameBits(beta, b.beta));
    for (const double pj : p) EXPECT_TRUE(SameBits(pj, 1.0 / static_cast<double>(b.k)));
  }
}

TEST(ConditionalRows, EachRowAsAloneOnAnyThreadCount) {
  constexpr std::size_t kN = 600;  // past two of the pool's tasks
  constexpr std::size_t kK = 7;
  std::mt19937 rng(3);
  std::exponential_distribution<float> spread(0.5f);
  std::vector<float> distances(kN * kK);
  for (float& d : distances) d = spread(rng);
  for (const unsigned threads : {1u, 3u}) {
    SCOPED_TRACE(threads);
    std::vector<double> p(kN * kK);
    tsneloss::affinities::ConditionalRows(distances.data(), kN, kK, 2.5, tsneloss::affinities::PrecisionSearch::kTsne,
                                          threads, p.data());
    for (std::size_t i = 0; i < kN; ++i) {
      const std::vector<float> row(distances.begin() + i * kK, distances.begin() + (i + 1) * kK);
      const PlainRow expected = PlainConditionalRow(row, 2.5);
      for (std::size_t m = 0; m < kK; ++m) ASSERT_TRUE(SameBits(p[i * kK + m], expected.p[m])) << i << ", " << m;
    }
  }
}

}  // namespace
}  // namespace tsne_test
