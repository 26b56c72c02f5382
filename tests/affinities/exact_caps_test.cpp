// The guessed caps: the plan's odds of a cap too low, the sample, each point's cap
// against a plain transcription, and the rule that trusts a cap only where k kept
// uppers lie at or under it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <vector>

#include "affinities/exact_candidates.hpp"
#include "affinities/exact_caps.hpp"
#include "affinities/exact_prepare.hpp"
#include "affinities/exact_tile.hpp"
#include "normal_points.hpp"
#include "support/instruction_set.hpp"

namespace {

namespace detail = tsneloss::affinities::detail;

using tsne_test::NormalData;

// P(Poisson(mean) >= r), summed plainly.
double PoissonTail(double mean, std::size_t r) {
  double term = std::exp(-mean), below = 0;
  for (std::size_t m = 0; m < r; ++m) {
    below += term;
    term *= mean / static_cast<double>(m + 1);
  }
  return 1 - below;
}

TEST(PlanCaps, RareMissesAndNoneWhereNothingIsSaved) {
  const struct {
    std::size_t n, d, k;
    bool planned;
  } cases[] = {{20000, 50, 91, true}, {600000, 50, 91, true}, {30000, 784, 91, true}, {100, 50, 91, false},
               {20000, 5000, 3, false}, {2000, 100000, 91, false}, {1, 5, 1, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << "n " << c.n << " d " << c.d << " k " << c.k);
    const detail::CapPlan plan = detail::PlanCaps(c.n, c.d, c.k);
    ASSERT_EQ(plan.sample > 0, c.planned);
    if (!c.planned) continue;
    EXPECT_EQ(plan.sample % detail::kPanel, 0u);
    EXPECT_GT(plan.sample, plan.rank);
    EXPECT_LE(plan.sample, c.n / 2);
    EXPECT_LE(plan.rank, detail::kMostCapRank);
    const double within = static_cast<double>(plan.sample) * static_cast<double>(c.k) / static_cast<double>(c.n - 1);
    EXPECT_LE(PoissonTail(within, plan.rank), 1.01e-4);
  }
}

TEST(DrawSample, DistinctSortedAndRepeatable) {
  const detail::CapPlan plan{480, 7};
  const auto sample = detail::DrawSample(1000, plan);
  ASSERT_EQ(sample.size(), 480u);
  EXPECT_TRUE(std::adjacent_find(sample.begin(), sample.end(), std::greater_equal<>()) == sample.end());
  EXPECT_GE(sample.front(), 0);
  EXPECT_LT(sample.back(), 1000);
  EXPECT_EQ(detail::DrawSample(1000, plan), sample);
  // Spread over all the points, not the first ones.
  EXPECT_GT(std::count_if(sample.begin(), sample.end(), [](std::int32_t j) { return j >= 500; }), 200);
}

// The cap the scalar kernel gives, transcribed: the float sums as the kernel's,
// the rank-th smallest upper over the sample without the point, widened.
std::vector<double> TranscribedCaps(const detail::Prepared& prepared, std::size_t n, std::size_t d,
                                    const detail::CapPlan& plan) {
  const auto sample = detail::DrawSample(n, plan);
  const auto coordinate = [&](std::size_t j, std::size_t c) {
    return prepared.packed[(j / detail::kPanel) * d * detail::kPanel + c * detail::kPanel + j % detail::kPanel];
  };
  std::vector<double> caps(n);
  for (std::size_t i = 0; i < n; ++i) {
    std::vector<float> uppers;
    for (const std::int32_t j : sample) {
      if (static_cast<std::size_t>(j) == i) continue;
      float dot = 0;
      for (std::size_t c = 0; c < d; ++c) dot += coordinate(i, c) * coordinate(static_cast<std::size_t>(j), c);
      uppers.push_back((prepared.norms[static_cast<std::size_t>(j)] - (dot + dot)) + prepared.slacks[static_cast<std::size_t>(j)]);
    }
    std::sort(uppers.begin(), uppers.end());
    caps[i] = detail::Widened(uppers[plan.rank - 1]);
  }
  return caps;
}

TEST(GuessCaps, TheRankthSmallestUpperOfTheSampleWithoutThePoint) {
  const struct {
    std::size_t n, d;
    detail::CapPlan plan;
  } cases[] = {{300, 7, {64, 1}}, {300, 7, {160, 16}}, {333, 50, {96, 5}}, {40, 3, {32, 16}}};
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << "n " << c.n << " d " << c.d << " sample " << c.plan.sample << " rank "
                                      << c.plan.rank);
    const auto x = NormalData(c.n, c.d, static_cast<unsigned>(c.n + c.d));
    const detail::Prepared prepared = detail::Prepare(x.data(), c.n, c.d, 2);
    for (const unsigned threads : {1u, 3u}) {
      EXPECT_EQ(detail::GuessCaps(prepared, c.n, c.d, c.plan, &detail::TileScalar, threads),
                TranscribedCaps(prepared, c.n, c.d, c.plan));
    }
  }
  const auto x = NormalData(50, 4, 1);
  const detail::Prepared prepared = detail::Prepare(x.data(), 50, 4, 1);
  EXPECT_EQ(detail::GuessCaps(prepared, 50, 4, {}, &detail::TileScalar, 1),
            std::vector<double>(50, std::numeric_limits<double>::infinity()));
  for (const detail::CapPlan bad : {detail::CapPlan{16, 0}, detail::CapPlan{16, 17}, detail::CapPlan{20, 2},
                                    detail::CapPlan{64, 2}}) {
    SCOPED_TRACE(::testing::Message() << "sample " << bad.sample << " rank " << bad.rank);
    EXPECT_THROW(detail::GuessCaps(prepared, 50, 4, bad, &detail::TileScalar, 1), std::invalid_argument);
  }
}

// One point's candidates handed in by hand: k - 1 uppers at 1, then `rest`; the cap
// at 1 holds only where k uppers lie at or under it, whatever bound T finds.
class CapRule : public ::testing::Test {
 protected:
  static constexpr std::size_t kN = 40, kD = 3, kK = 5, kCapacity = 40;

  CapRule() : x_(NormalData(kN, kD, 7)), prepared_(detail::Prepare(x_.data(), kN, kD, 1)) {
    const std::size_t room = kN * (kCapacity + detail::kPanel);
    lower_.resize(room);
    upper_.resize(room);
    index_.resize(room);
    caps_.assign(kN, detail::Widened(1.0f));
    context_.x = x_.data();
    context_.n = kN;
    context_.d = kD;
    context_.k = kK;
    context_.capacity = kCapacity;
    context_.prepared = &prepared_;
    context_.caps = caps_.data();
    context_.lower = lower_.data();
    context_.upper = upper_.data();
    context_.index = index_.data();
  }

  // Whether the cap missed.
  bool Missed(const std::vector<float>& rest) {
    detail::CandidateRow row;
    row.Start(context_, 0);
    std::vector<float> uppers(kK - 1, 1.0f);
    uppers.insert(uppers.end(), rest.begin(), rest.end());
    for (std::size_t m = 0; m < uppers.size(); ++m) {
      detail::Candidates& out = row.candidates();
      out.lower[out.size] = 1.0f;
      out.upper[out.size] = uppers[m];
      out.index[out.size] = static_cast<std::int32_t>(m + 1);
      ++out.size;
    }
    std::vector<std::int32_t> indices(kK);
    std::vector<float> distances(kK);
    std::vector<double> exact;
    std::vector<detail::Ranked> ranked;
    bool missed = false;
    const bool by_all = row.Finish(indices.data(), distances.data(), exact, ranked, missed);
    EXPECT_EQ(by_all, missed);
    return missed;
  }

  std::vector<double> x_;
  detail::Prepared prepared_;
  std::vector<float> lower_, upper_;
  std::vector<std::int32_t> index_;
  std::vector<double> caps_;
  detail::CandidateContext context_;
};

TEST_F(CapRule, TrustedOnlyWithKUppersUnderIt) {
  EXPECT_FALSE(Missed({1.0f}));
  EXPECT_TRUE(Missed({1.001f}));
  EXPECT_TRUE(Missed({1.001f, 1.001f}));
  // T's bound lands on 1.001, above the cap, yet k uppers lie under the cap.
  EXPECT_FALSE(Missed({1.0f, 1.001f, 2.0f}));
  caps_.assign(kN, std::numeric_limits<double>::infinity());
  EXPECT_FALSE(Missed({1.001f}));
}

}  // namespace
