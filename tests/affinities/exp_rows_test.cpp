// The perplexity search's exp on AVX-512 against std::exp, bit for bit: many millions
// of arguments spread as the search makes them (-d beta), the edges of the
// transcription's main range, and rows whose lengths leave vector tails (their
// division by the sum too).
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "affinities/exp_rows.hpp"
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

}  // namespace
