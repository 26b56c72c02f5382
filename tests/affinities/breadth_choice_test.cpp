// The approximate search's choice of breadth on recall curves of our own making: a
// curve that rises past the share wanted (the narrowest breadth that reaches it), a
// flat one just above the share wanted, where only a bigger sample can tell (the
// breadth kept, not doubled away), and flat ones below (widened to every point, the
// sample grown where its error reached the share wanted).
#include <gtest/gtest.h>

#include <cstddef>
#include <vector>

#include "affinities/breadth_choice.hpp"

namespace {

using tsneloss::affinities::detail::BreadthChoice;
using tsneloss::affinities::detail::ChooseBreadth;
using tsneloss::affinities::detail::Estimate;

constexpr double kWanted = 0.985;

struct Curve {
  const char* name;
  double (*recall)(std::size_t breadth);
  double error;        // at the first sample
  bool can_grow;
  std::size_t breadth;  // expected
  bool grown;           // expected
};

TEST(ChooseBreadth, NarrowestEnoughAndTheSampleGrownOnlyWhereItCannotTell) {
  const std::size_t n = 100000, k = 90;
  const std::vector<Curve> curves = {
      // 1 - 2 / breadth, less the error 0.002, reaches 0.985 from breadth 154 on: 182
      // enough, 91 not, and three halvings back from 182 end at 159.
      {"rising", [](std::size_t b) { return 1 - 2.0 / static_cast<double>(b); }, 0.002, true, 159, false},
      {"flat just above", [](std::size_t) { return 0.988; }, 0.005, true, 91, true},
      {"flat just above, the sample whole", [](std::size_t) { return 0.988; }, 0.005, false, n, false},
      {"flat below", [](std::size_t) { return 0.97; }, 0.005, true, n, false},
      {"flat just below, within the error", [](std::size_t) { return 0.983; }, 0.005, true, n, true},
      {"flat below but for every point", [](std::size_t b) { return b >= n ? 1.0 : 0.97; }, 0.005, true, n, false},
  };
  for (const Curve& curve : curves) {
    SCOPED_TRACE(curve.name);
    bool grown = false;
    std::vector<std::size_t> asked;
    const auto estimate_at = [&](std::size_t breadth) {
      asked.push_back(breadth);
      return Estimate{curve.recall(breadth), grown ? curve.error / 2 : curve.error};
    };
    const auto grow = [&] {
      if (!curve.can_grow) return false;
      EXPECT_FALSE(grown) << "grown twice";
      grown = true;
      return true;
    };
    const BreadthChoice choice = ChooseBreadth(n, k, kWanted, 3, estimate_at, grow);
    EXPECT_EQ(choice.breadth, curve.breadth);
    EXPECT_EQ(choice.grown, curve.grown);
    EXPECT_EQ(grown, curve.grown);
    EXPECT_EQ(choice.estimate.recall, curve.recall(choice.breadth));
    // The search is never wider than n, and every breadth judged lies in [k + 1, n].
    for (const std::size_t b : asked) {
      EXPECT_GE(b, k + 1);
      EXPECT_LE(b, n);
    }
  }
}

}  // namespace
