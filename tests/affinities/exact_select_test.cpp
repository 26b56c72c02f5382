// The cut's bound on each instruction-set path: the same bits as the plain loop, one
// of the uppers, k or more at or under it, and within a few 64ths of the range above
// the k-th smallest; sizes that leave vector tails, ties and negative uppers.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

#include "affinities/exact_select.hpp"
#include "support/instruction_set.hpp"

namespace {

namespace detail = tsneloss::affinities::detail;
using tsneloss::support::InstructionSet;

std::vector<float> Uppers(std::size_t size, unsigned seed, bool tied) {
  std::mt19937 rng(seed);
  std::normal_distribution<float> normal(-1.0f, 3.0f);
  std::uniform_int_distribution<int> few(-3, 3);
  std::vector<float> upper(size);
  for (float& v : upper) v = tied ? static_cast<float>(few(rng)) : normal(rng);
  return upper;
}

TEST(CountedBound, EveryPathBoundsTheKthClosely) {
  for (const std::size_t size : {1, 7, 8, 9, 15, 16, 17, 33, 182}) {
    for (const bool tied : {false, true}) {
      const auto upper = Uppers(size, static_cast<unsigned>(size * 2 + tied), tied);
      std::vector<float> sorted = upper;
      std::sort(sorted.begin(), sorted.end());
      const float range = sorted.back() - sorted.front();
      for (const std::size_t k : {std::size_t{1}, (size + 1) / 2, size}) {
        SCOPED_TRACE(::testing::Message() << "size " << size << " k " << k << " tied " << tied);
        const float plain = detail::CountedBound(upper.data(), size, k);
        EXPECT_NE(std::find(upper.begin(), upper.end(), plain), upper.end());
        EXPECT_GE(std::count_if(upper.begin(), upper.end(), [&](float v) { return v <= plain; }),
                  static_cast<std::ptrdiff_t>(k));
        EXPECT_LE(plain - sorted[k - 1], range / 32);
        for (const InstructionSet path : {InstructionSet::kAvx2, InstructionSet::kAvx512}) {
          if (!tsneloss::support::Available(path)) continue;
          EXPECT_EQ(detail::SelectFor(path).bound(upper.data(), size, k), plain) << static_cast<int>(path);
        }
      }
    }
  }
}

}  // namespace
