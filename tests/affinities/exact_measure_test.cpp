// The vector paths' measuring of candidates against the plain loop, bit for bit: lanes
// past the last candidate, coordinates past the last whole block, and values whose
// squares span many orders, so that a sum taken out of order shows.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "affinities/exact_distances.hpp"
#include "affinities/exact_select.hpp"
#include "support/instruction_set.hpp"

namespace {

using tsneloss::support::InstructionSet;

template <typename Real>
class ExactMeasure : public ::testing::Test {};
using Reals = ::testing::Types<float, double>;
TYPED_TEST_SUITE(ExactMeasure, Reals);

// Each coordinate a normal value times 2^e, e in [-30, 30].
template <typename Real>
std::vector<Real> WideRanging(std::size_t n, std::size_t d, unsigned seed) {
  std::mt19937_64 rng(seed);
  std::normal_distribution<double> normal;
  std::uniform_int_distribution<int> exponent(-30, 30);
  std::vector<Real> x(n * d);
  for (Real& v : x) v = static_cast<Real>(std::ldexp(normal(rng), exponent(rng)));
  return x;
}

TYPED_TEST(ExactMeasure, VectorPathsAsThePlainLoop) {
  const std::size_t n = 40;
  for (const InstructionSet path : {InstructionSet::kAvx2, InstructionSet::kAvx512}) {
    if (!tsneloss::support::Available(path)) continue;
    const auto measure = tsneloss::affinities::detail::SelectFor(path).Measure<TypeParam>();
    for (const std::size_t d : {1, 3, 4, 5, 7, 8, 9, 16, 17, 50}) {
      const auto x = WideRanging<TypeParam>(n, d, static_cast<unsigned>(d));
      for (const std::size_t count : {1, 3, 4, 5, 7, 8, 9, 17, 39}) {
        SCOPED_TRACE(::testing::Message() << "path " << static_cast<int>(path) << " d " << d << " count " << count);
        std::vector<std::int32_t> js;
        for (std::size_t m = 0; m < count; ++m) js.push_back(static_cast<std::int32_t>((m * 7 + 1) % n));
        std::vector<double> plain(count), vector(count + 1, -1.0);
        tsneloss::affinities::detail::ExactSquaredDistances(x.data(), d, 3, js.data(), count, plain.data());
        measure(x.data(), d, 3, js.data(), count, vector.data());
        EXPECT_EQ(std::vector<double>(vector.begin(), vector.begin() + static_cast<std::ptrdiff_t>(count)), plain);
        EXPECT_EQ(vector[count], -1.0);  // nothing written past the last candidate
      }
    }
  }
}

}  // namespace
