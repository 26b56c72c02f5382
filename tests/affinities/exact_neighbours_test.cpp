// ExactNeighbours against every pair measured the plain way, bit for bit, on each
// instruction-set path and thread count: ties, edges of the tiles, and data the
// float pass cannot separate.
#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <random>
#include <stdexcept>
#include <thread>
#include <vector>

#include "affinities/exact_tile.hpp"
#include "affinities/neighbours.hpp"
#include "normal_points.hpp"
#include "support/instruction_set.hpp"

namespace {

using tsneloss::affinities::NeighbourLists;
using tsneloss::affinities::detail::CapChoice;
using tsneloss::affinities::detail::MeasuringOrder;
using tsneloss::affinities::detail::SearchProbe;
using tsneloss::support::InstructionSet;

NeighbourLists BruteForce(const std::vector<double>& x, std::size_t n, std::size_t d, std::size_t k) {
  NeighbourLists lists{n, k, {}, {}};
  for (std::size_t i = 0; i < n; ++i) {
    std::vector<std::pair<double, std::int32_t>> all;
    for (std::size_t j = 0; j < n; ++j) {
      if (j == i) continue;
      double sum = 0;
      for (std::size_t c = 0; c < d; ++c) sum += (x[i * d + c] - x[j * d + c]) * (x[i * d + c] - x[j * d + c]);
      all.emplace_back(sum, static_cast<std::int32_t>(j));
    }
    std::sort(all.begin(), all.end());
    for (std::size_t m = 0; m < k; ++m) {
      lists.indices.push_back(all[m].second);
      lists.squared_distances.push_back(static_cast<float>(all[m].first));
    }
  }
  return lists;
}

// Small integers, and every fifth point a copy of an earlier one: many exact ties.
std::vector<double> TiedData(std::size_t n, std::size_t d, unsigned seed) {
  std::mt19937_64 rng(seed);
  std::uniform_int_distribution<int> small(-2, 2);
  std::vector<double> x(n * d);
  for (std::size_t i = 0; i < n; ++i) {
    for (std::size_t c = 0; c < d; ++c) x[i * d + c] = i % 5 == 4 ? x[(i / 2) * d + c] : small(rng);
  }
  return x;
}

using tsne_test::NormalData;

// Bit for bit as BruteForce on every path and thread count, with the measuring order
// and caps `asked`; returns the last run's probe.
SearchProbe SameOnEveryPath(const std::vector<double>& x, std::size_t n, std::size_t d, std::size_t k,
                            const SearchProbe& asked) {
  const NeighbourLists expected = BruteForce(x, n, d, k);
  SearchProbe probe;
  for (const InstructionSet path : {InstructionSet::kScalar, InstructionSet::kAvx2, InstructionSet::kAvx512}) {
    if (!tsneloss::support::Available(path)) continue;
    for (const unsigned threads : {1u, 3u}) {
      SCOPED_TRACE(::testing::Message() << "n " << n << " d " << d << " k " << k << " path "
                                        << static_cast<int>(path) << " threads " << threads);
      probe = asked;
      const NeighbourLists got = tsneloss::affinities::detail::ExactNeighboursOnPath(x.data(), n, d, k, {threads, {}}, path, &probe);
      EXPECT_EQ(got.n, n);
      EXPECT_EQ(got.k, k);
      EXPECT_EQ(got.indices, expected.indices);
      EXPECT_EQ(got.squared_distances, expected.squared_distances);
    }
  }
  return probe;
}

// As SameOnEveryPath; returns the number of points the last run measured against all
// for want of separation in float (not for a cap guessed too low).
std::size_t ExpectSameOnEveryPath(const std::vector<double>& x, std::size_t n, std::size_t d, std::size_t k,
                                  MeasuringOrder order = MeasuringOrder::kBySize) {
  SearchProbe asked;
  asked.order = order;
  const SearchProbe probe = SameOnEveryPath(x, n, d, k, asked);
  return probe.measured_by_all - probe.caps_missed;
}

TEST(ExactNeighbours, TiesAndTileEdges) {
  for (const std::size_t n : {2, 17, 77, 600}) {
    for (const std::size_t d : {1, 3, 50}) {
      const auto x = TiedData(n, d, static_cast<unsigned>(n * 100 + d));
      ExpectSameOnEveryPath(x, n, d, 1);
      ExpectSameOnEveryPath(x, n, d, n - 1);
      if (n > 20) ExpectSameOnEveryPath(x, n, d, 7);
    }
  }
}

// Sizes around the blocks of the triangle (512 points): tiles on and off its
// diagonal, a last block nearly empty or nearly full, an odd count of blocks sitting
// a round out, and dimensions that fill no panel evenly.
TEST(ExactNeighbours, TriangleBlockEdges) {
  for (const std::size_t n : {511, 513, 1025}) {
    for (const std::size_t d : {1, 17}) {
      SCOPED_TRACE(::testing::Message() << "n " << n << " d " << d);
      const auto x = TiedData(n, d, static_cast<unsigned>(n * 7 + d));
      ExpectSameOnEveryPath(x, n, d, 1);
      ExpectSameOnEveryPath(x, n, d, 9);
      if (n == 513) ExpectSameOnEveryPath(x, n, d, n - 1);
    }
  }
  const std::size_t n = 1031, d = 33;
  EXPECT_EQ(ExpectSameOnEveryPath(NormalData(n, d, 21), n, d, 40), 0u);
  // Six blocks: rounds of three tiles each, every pair of blocks met once.
  ExpectSameOnEveryPath(TiedData(2600, 3, 23), 2600, 3, 6);
}

// Enough points that T falls through several grids before the end; float separates
// these points well, so none should need measuring against all.
TEST(ExactNeighbours, NormalDataThinned) {
  const std::size_t n = 1500, d = 50;
  EXPECT_EQ(ExpectSameOnEveryPath(NormalData(n, d, 5), n, d, 91), 0u);
  EXPECT_EQ(ExpectSameOnEveryPath(NormalData(n, 2, 6), n, 2, 30), 0u);
}

// The points measured again breadth first over their candidates (the order for
// points that outgrow the cache): every point once, from several starts where the
// candidates leave the points in pieces, and lone far points.
TEST(ExactNeighbours, MeasuredBreadthFirst) {
  ExpectSameOnEveryPath(NormalData(1100, 20, 31), 1100, 20, 15, MeasuringOrder::kBreadthFirst);
  ExpectSameOnEveryPath(TiedData(700, 3, 37), 700, 3, 1, MeasuringOrder::kBreadthFirst);
  auto x = NormalData(600, 4, 41);
  for (std::size_t c = 0; c < 4; ++c) x[100 * 4 + c] = x[500 * 4 + c] = 1e9;
  ExpectSameOnEveryPath(x, 600, 4, 5, MeasuringOrder::kBreadthFirst);
}

// Two tight clusters far apart behind a huge offset: float sees each cluster as one
// point, so its points overflow their candidates and are measured against all.
TEST(ExactNeighbours, BadlyConditionedFallsBack) {
  const std::size_t n = 1200, d = 4;
  auto x = NormalData(n, d, 9);
  for (std::size_t i = 0; i < n; ++i) {
    for (std::size_t c = 0; c < d; ++c) x[i * d + c] = 1e8 + (i % 2 == 0 ? 0.0 : 1e6) + 1e-3 * x[i * d + c];
  }
  EXPECT_GT(ExpectSameOnEveryPath(x, n, d, 10), 0u);
}

// Caps guessed from samples of every size: far below the k-th (every point measured
// against all), about at it (some held, some not), a cap that counting alone proves,
// and no caps; the lists never change. Tied data put many uppers level with the cap.
TEST(ExactNeighbours, GuessedCapsHeldOrNot) {
  const struct {
    const char* name;
    std::vector<double> x;
    std::size_t n, d, k;
    std::size_t sample, rank;
    bool some_missed, some_held;
  } cases[] = {
      {"far below", NormalData(1500, 50, 43), 1500, 50, 91, 512, 1, true, false},
      {"about at", NormalData(1500, 50, 43), 1500, 50, 91, 256, 16, true, true},
      {"well above", NormalData(1500, 50, 43), 1500, 50, 91, 64, 16, false, true},
      {"tied", TiedData(1100, 3, 47), 1100, 3, 12, 160, 2, true, true},
      {"none", NormalData(700, 8, 53), 700, 8, 20, 0, 0, false, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    SearchProbe asked;
    asked.caps = CapChoice::kGiven;
    asked.cap_sample = c.sample;
    asked.cap_rank = c.rank;
    const SearchProbe probe = SameOnEveryPath(c.x, c.n, c.d, c.k, asked);
    EXPECT_EQ(probe.caps_missed > 0, c.some_missed) << probe.caps_missed;
    EXPECT_EQ(probe.caps_missed < c.n, c.some_held) << probe.caps_missed;
    EXPECT_LE(probe.caps_missed, probe.measured_by_all);
  }
}

// One point far out: the centre stays with the bulk, so only that point is measured
// against all.
TEST(ExactNeighbours, FarPointAloneFallsBack) {
  const std::size_t n = 700, d = 5;
  auto x = NormalData(n, d, 13);
  for (std::size_t c = 0; c < d; ++c) x[300 * d + c] = 1e10;
  EXPECT_LE(ExpectSameOnEveryPath(x, n, d, 12), 1u);
}

// Scales float cannot hold, and points with no coordinates.
TEST(ExactNeighbours, ExtremeScales) {
  for (const double scale : {1e-200, 1e200}) {
    auto x = TiedData(90, 3, 11);
    for (double& v : x) v *= scale;
    ExpectSameOnEveryPath(x, 90, 3, 5);
  }
  ExpectSameOnEveryPath({}, 9, 0, 4);
}

TEST(ExactNeighbours, ProgressReachesOneOnTheCaller) {
  const auto x = NormalData(3000, 5, 3);
  std::vector<double> shares;
  const auto caller = std::this_thread::get_id();
  bool elsewhere = false;
  tsneloss::affinities::SearchSettings settings{2, [&](double share) {
                                        elsewhere = elsewhere || std::this_thread::get_id() != caller;
                                        shares.push_back(share);
                                      }};
  tsneloss::affinities::ExactNeighbours(x.data(), 3000, 5, 3, settings);
  EXPECT_FALSE(elsewhere);
  ASSERT_FALSE(shares.empty());
  EXPECT_LE(shares.size(), 101u);
  EXPECT_TRUE(std::is_sorted(shares.begin(), shares.end()));
  EXPECT_EQ(shares.back(), 1.0);
}

TEST(ExactNeighbours, RefusesKOutsideRange) {
  const std::vector<double> x(10, 0.0);
  EXPECT_THROW(tsneloss::affinities::ExactNeighbours(x.data(), 5, 2, 0), std::invalid_argument);
  EXPECT_THROW(tsneloss::affinities::ExactNeighbours(x.data(), 5, 2, 5), std::invalid_argument);
}

}  // namespace
