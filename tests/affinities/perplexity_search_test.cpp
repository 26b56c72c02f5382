// The perplexity search against its plain transcription, bit for bit: rows that
// converge from either side, rows that never converge, an underflowing far
// neighbour, and many rows over the thread pool's tasks. The scaled search where
// t-SNE's underflows: a distribution meeting the perplexity, free of the scale.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
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
    const tsneloss::affinities::RowSearch search =
        tsneloss::affinities::ConditionalRow(distances.data(), b.k, b.perplexity, p.data());
    EXPECT_TRUE(SameBits(search.beta, b.beta));
    EXPECT_EQ(search.met, b.perplexity == static_cast<double>(b.k));
    for (const double pj : p) EXPECT_TRUE(SameBits(pj, 1.0 / static_cast<double>(b.k)));
  }
}

// Rows of every kind side by side, so that rows ending after few steps, after many
// and never share the search's lanes: each row's bits as alone, whatever its
// neighbours, the thread count and the rows left over past a multiple of eight.
std::vector<float> MixedRow(std::size_t i, std::size_t k, std::mt19937& rng) {
  std::exponential_distribution<float> spread(0.5f);
  std::uniform_real_distribution<float> decades(-3.f, 3.f);
  std::vector<float> row(k);
  const float scale = std::pow(10.f, decades(rng));
  for (std::size_t j = 0; j < k; ++j) {
    float& d = row[j];
    switch (i % 6) {
      case 0: d = spread(rng); break;
      case 1: d = scale * spread(rng); break;
      case 2: d = 1.5f; break;                        // never met: all 100 steps
      case 3: d = 2000.f + 100 * spread(rng); break;  // every term underflows at first
      case 4: d = 1e33f * (1 + spread(rng)); break;   // the sum stays 0 for long
      // Four ties at 0 keep the entropy above ln 2.5 while beta doubles for all 100
      // steps; the others' terms change at each.
      default: d = j < 4 ? 0.f : 1e-29f * (1 + spread(rng)); break;
    }
  }
  return row;
}

TEST(ConditionalRows, EachRowAsAloneOnAnyThreadCount) {
  struct Shape {
    std::size_t n;
    std::size_t k;
  };
  for (const Shape shape : {Shape{600, 7}, Shape{5, 91}, Shape{43, 16}}) {
    std::mt19937 rng(3);
    std::vector<float> distances;
    for (std::size_t i = 0; i < shape.n; ++i) {
      const std::vector<float> row = MixedRow(i, shape.k, rng);
      distances.insert(distances.end(), row.begin(), row.end());
    }
    for (const unsigned threads : {1u, 3u}) {
      SCOPED_TRACE(::testing::Message() << "n " << shape.n << " k " << shape.k << " threads " << threads);
      std::vector<double> p(shape.n * shape.k);
      const std::size_t unmet = tsneloss::affinities::ConditionalRows(
          distances.data(), shape.n, shape.k, 2.5, tsneloss::affinities::PrecisionSearch::kTsne, threads, p.data());
      std::size_t expected_unmet = 0;
      for (std::size_t i = 0; i < shape.n; ++i) {
        const std::vector<float> row(distances.begin() + i * shape.k, distances.begin() + (i + 1) * shape.k);
        const PlainRow expected = PlainConditionalRow(row, 2.5);
        expected_unmet += expected.met ? 0 : 1;
        for (std::size_t m = 0; m < shape.k; ++m) {
          ASSERT_TRUE(SameBits(p[i * shape.k + m], expected.p[m])) << i << ", " << m;
        }
      }
      EXPECT_EQ(unmet, expected_unmet);
    }
  }
}

double Entropy(const std::vector<double>& p) {
  double entropy = 0;
  for (const double pj : p) entropy -= pj > 0 ? pj * std::log(pj) : 0;
  return entropy;
}

// Rows where t-SNE's arithmetic leaves every p_j at 0, and rows no precision can
// serve: the scaled search gives a distribution, meeting the perplexity where any
// can, its entropy measured here afresh.
TEST(ScaledConditionalRow, FiniteAndMeetingThePerplexityWhereTsnesUnderflows) {
  const float inf = std::numeric_limits<float>::infinity();
  const struct {
    const char* name;
    std::vector<float> distances;
    double perplexity;
    bool met;
  } cases[] = {
      {"distances about 1e34", {1e34f, 1.5e34f, 2e34f, 4e34f, 9e34f}, 2.5, true},
      {"near float's largest", {3e38f, 3.1e38f, 3.3e38f, 3.4e38f}, 1.5, true},
      {"gaps of one part in 1e7", {1e30f, 1.0000001e30f, 1.0000003e30f}, 1.5, true},
      {"+inf beside finite", {1e35f, 3e35f, inf, inf}, 1.5, true},
      {"every distance +inf", {inf, inf, inf}, 2.0, false},
      {"perplexity 1e-10: the nearest alone", {1e34f, 2e34f, 5e34f}, 1e-10, false},
      {"tied nearest below the perplexity", {2.f, 2.f, 9.f}, 1.5, false},
      {"more than the neighbours allow", {1e34f, 2e34f}, 3.0, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<double> p(c.distances.size());
    const auto search =
        tsneloss::affinities::ScaledConditionalRow(c.distances.data(), c.distances.size(), c.perplexity, p.data());
    EXPECT_EQ(search.met, c.met);
    double sum = 0;
    for (const double pj : p) {
      ASSERT_TRUE(std::isfinite(pj));
      sum += pj;
    }
    EXPECT_NEAR(sum, 1.0, 1e-15);
    if (c.met) {
      EXPECT_NEAR(Entropy(p), std::log(c.perplexity), 1.1e-5);
    }
  }
}

TEST(ScaledConditionalRow, TheSameBitsForDistancesScaledByAPowerOfTwo) {
  const std::vector<float> distances = {0.3f, 0.4f, 1.f, 1.5f, 2.f, 4.f, 9.f, 9.f};
  std::vector<double> reference(distances.size());
  tsneloss::affinities::ScaledConditionalRow(distances.data(), distances.size(), 3.0, reference.data());
  for (const int power : {-100, -20, 40, 110}) {
    SCOPED_TRACE(power);
    std::vector<float> scaled(distances);
    for (float& d : scaled) d = std::ldexp(d, power);
    std::vector<double> p(distances.size());
    tsneloss::affinities::ScaledConditionalRow(scaled.data(), scaled.size(), 3.0, p.data());
    for (std::size_t j = 0; j < p.size(); ++j) EXPECT_TRUE(SameBits(p[j], reference[j])) << j;
  }
}

// Rows of equal distances miss every perplexity but their count; the others meet it.
TEST(ConditionalRows, CountTheRowsThatMissThePerplexity) {
  constexpr std::size_t kN = 700;
  constexpr std::size_t kK = 4;
  std::vector<float> distances(kN * kK);
  std::size_t equal_rows = 0;
  for (std::size_t i = 0; i < kN; ++i) {
    const bool equal = i % 7 == 0;
    equal_rows += equal ? 1 : 0;
    for (std::size_t m = 0; m < kK; ++m) distances[i * kK + m] = equal ? 5.f : 0.5f * static_cast<float>(m + 1);
  }
  using tsneloss::affinities::PrecisionSearch;
  for (const PrecisionSearch search : {PrecisionSearch::kTsne, PrecisionSearch::kScaled}) {
    SCOPED_TRACE(static_cast<int>(search));
    std::vector<double> p(kN * kK);
    EXPECT_EQ(tsneloss::affinities::ConditionalRows(distances.data(), kN, kK, 2.0, search, 3, p.data()), equal_rows);
  }
}

}  // namespace
}  // namespace tsne_test
