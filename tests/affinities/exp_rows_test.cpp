// The perplexity search's exp on AVX-512 against std::exp, bit for bit: many millions
// of arguments spread as the search makes them (-d beta), the edges of the
// transcription's main range, and rows whose lengths leave vector tails (their
// division by the sum too). The cheaper exp and entropy that decide most of the
// search's steps, against their stated bounds.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "affinities/exp_rows.hpp"
#include "affinities/perplexity_lanes.hpp"
#include "support/instruction_set.hpp"

namespace {

namespace detail = tsneloss::affinities::detail;

bool SameBits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

std::vector<double> SearchArguments(std::size_t count) {
  std::mt19937_64 rng(7);
  std::uniform_real_distribution<double> unit(0, 1);
  std::vector<double> x;
  x.reserve(count);
  while (x.size() < count) {
    x.push_back(-unit(rng) * 750);                                          // to where exp underflows
    x.push_back(-std::ldexp(unit(rng) + 0.5, -static_cast<int>(rng() % 64)));  // small magnitudes
    const auto distance = static_cast<float>(std::ldexp(unit(rng), static_cast<int>(rng() % 40) - 20));
    x.push_back(-static_cast<double>(distance) * std::ldexp(1 + unit(rng), static_cast<int>(rng() % 40) - 20));
  }
  const double inf = std::numeric_limits<double>::infinity();
  for (const double edge : {0.0, -0.0, -0x1p-54, -0x1.fffffffffffffp-55, -0x1p-1074, -511.99999999999994, -512.0,
                            -708.39, -708.4, -744.44, -745.14, -745.2, -1e300, -inf, 1.0, 88.7, 511.0, 709.7, 710.0}) {
    x.push_back(edge);
  }
  return x;
}

// The check made once before the transcription is trusted must see what this wide
// sample sees; on the C library transcribed, both see no difference.
TEST(VectorExp, AsStdExpOverTheSearchsArguments) {
  const detail::ExpsKernel exps = detail::BuiltVectorExps();
  if (exps == nullptr || !tsneloss::support::Available(tsneloss::support::InstructionSet::kAvx512)) {
    GTEST_SKIP() << "no AVX-512";
  }
  const std::vector<double> x = SearchArguments(std::size_t{3} << 22);
  std::vector<double> vector(x.size());
  exps(x.data(), x.size(), vector.data());
  std::size_t differing = 0;
  for (std::size_t m = 0; m < x.size(); ++m) differing += SameBits(vector[m], std::exp(x[m])) ? 0 : 1;
  EXPECT_EQ(detail::VectorExpAgrees(), differing == 0) << differing << " differ";
#if defined(__GLIBC__) && (__GLIBC__ > 2 || __GLIBC_MINOR__ >= 28)
  EXPECT_EQ(differing, 0u) << "this C library's exp is no longer the one transcribed";
#endif
}

TEST(VectorExp, RowsAsThePlainLoop) {
  const float inf = std::numeric_limits<float>::infinity();
  std::mt19937 rng(3);
  std::uniform_real_distribution<float> distance(0, 300);
  for (const std::size_t count : {1, 7, 8, 9, 17, 91}) {
    std::vector<float> d(count);
    for (float& v : d) v = distance(rng);
    d[0] = 0;
    if (count > 2) d[2] = inf;
    for (const double beta : {1e-300, 0.0125, 1.0, 3.75, 1e30}) {
      SCOPED_TRACE(::testing::Message() << "count " << count << " beta " << beta);
      std::vector<double> plain(count), chosen(count + 1, -1.0);
      detail::NegatedExpsPlain(d.data(), count, beta, plain.data());
      detail::NegatedExps(d.data(), count, beta, chosen.data());
      for (std::size_t j = 0; j < count; ++j) EXPECT_TRUE(SameBits(chosen[j], plain[j])) << j;
      EXPECT_EQ(chosen[count], -1.0);  // nothing written past the row
      const double sum = 3 * beta + 0.7;
      detail::DivideAll(chosen.data(), count, sum);
      for (std::size_t j = 0; j < count; ++j) EXPECT_TRUE(SameBits(chosen[j], plain[j] / sum)) << j;
      EXPECT_EQ(chosen[count], -1.0);
    }
  }
}

bool CheaperStepsBuilt() {
  return detail::BuiltApproximateKernels().exps != nullptr &&
         tsneloss::support::Available(tsneloss::support::InstructionSet::kAvx512);
}

TEST(CheaperExp, WithinItsBoundOfStdExp) {
  if (!CheaperStepsBuilt()) GTEST_SKIP() << "no AVX-512";
  std::vector<double> x;
  for (const double v : SearchArguments(std::size_t{1} << 20)) {
    if (v <= 0) x.push_back(v);
  }
  std::vector<double> cheaper(x.size());
  detail::BuiltApproximateKernels().exps(x.data(), x.size(), cheaper.data());
  for (std::size_t m = 0; m < x.size(); ++m) {
    if (x[m] < -700) {
      ASSERT_EQ(cheaper[m], 0.0) << x[m];
    } else {
      const double exact = std::exp(x[m]);
      ASSERT_LE(std::fabs(cheaper[m] - exact), 0x1p-48 * exact) << x[m];
    }
  }
}

// t-SNE's entropy less the wanted at beta, as its search computes it.
double PlainExcess(const std::vector<float>& d, double beta, double wanted) {
  std::vector<double> p(d.size());
  double sum = 0;
  for (std::size_t j = 0; j < d.size(); ++j) sum += p[j] = std::exp(-static_cast<double>(d[j]) * beta);
  if (sum == 0) sum = 1e-8;
  double weighted = 0;
  for (std::size_t j = 0; j < d.size(); ++j) weighted += static_cast<double>(d[j]) * (p[j] / sum);
  return std::log(sum) + beta * weighted - wanted;
}

// The margin is some 2^9 times the two entropies' worst difference in theory, and
// some 10^5 times the largest seen here: a computation off by more than a 4096th of
// it (a term dropped, a sum misplaced) is a fault.
TEST(CheaperExp, EntropyWithinAFractionOfItsMargin) {
  if (!CheaperStepsBuilt()) GTEST_SKIP() << "no AVX-512";
  std::mt19937 rng(11);
  std::uniform_real_distribution<double> unit(0, 1);
  std::size_t judged = 0;
  // Near the reach of the cheaper sums: the far terms they drop weigh as much as the
  // nearest where it lies near exp(-700).
  for (const double nearest : {550.0, 650.0, 699.0}) {
    const std::vector<float> d = {static_cast<float>(nearest), 701.f, 701.5f, 702.f, 750.f};
    double margin = -1;
    const double cheaper = detail::BuiltApproximateKernels().excess(d.data(), d.size(), 1.0, 1.0, &margin);
    if (!std::isnan(cheaper)) {
      EXPECT_LE(std::fabs(cheaper - PlainExcess(d, 1.0, 1.0)), margin / 4096) << nearest;
    }
  }
  for (int trial = 0; trial < 4000; ++trial) {
    const std::size_t k = 1 + rng() % 120;
    const double scale = std::ldexp(1.0, static_cast<int>(rng() % 60) - 30);
    std::vector<float> d(k);
    for (float& v : d) v = static_cast<float>(scale * (trial % 3 == 0 ? 1 + 0.01 * unit(rng) : -std::log(unit(rng) + 1e-300)));
    if (trial % 7 == 0) d[rng() % k] = 0;
    const double beta = std::ldexp(1.0, static_cast<int>(rng() % 80) - 40) / scale;
    const double wanted = std::log(1 + 60 * unit(rng));
    double margin = -1;
    const double cheaper = detail::BuiltApproximateKernels().excess(d.data(), k, beta, wanted, &margin);
    if (std::isnan(cheaper)) continue;
    ++judged;
    ASSERT_GT(margin, 0);
    ASSERT_LE(std::fabs(cheaper - PlainExcess(d, beta, wanted)), margin / 4096)
        << "trial " << trial << " k " << k << " beta " << beta;
  }
  EXPECT_GT(judged, 2500u);
}

}  // namespace
