// Each point's share of the loss against the module itself, called on a problem that
// keeps only that point's column of P; the shares file tsneloss writes.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>

#include "bits.hpp"
#include "core/per_point_shares.hpp"
#include "loss_module.hpp"
#include "tsneloss_fixture.hpp"

namespace tsne_test {
namespace {

template <typename T>
class PerPointShares : public ::testing::Test {};
using ElementTypes = ::testing::Types<double, float>;
TYPED_TEST_SUITE(PerPointShares, ElementTypes);

template <typename T>
tsneloss::core::Embedding EmbeddingOf(const Problem<T>& problem) {
  return {static_cast<std::uint64_t>(problem.n), problem.d, std::vector<double>(problem.y.begin(), problem.y.end())};
}

template <typename T>
tsneloss::core::SparseColumns ColumnsOf(const Problem<T>& problem) {
  tsneloss::core::SparseColumns p;
  p.n = static_cast<std::uint64_t>(problem.n);
  p.column_counts = problem.column_counts;
  p.row_indices = problem.row_indices;
  p.values.assign(problem.values.begin(), problem.values.end());
  return p;
}

// The problem with every column but `column` emptied.
template <typename T>
Problem<T> OnlyColumn(const Problem<T>& problem, std::int32_t column) {
  Problem<T> alone = problem;
  alone.row_indices.clear();
  alone.values.clear();
  std::size_t entry = 0;
  for (std::int32_t i = 0; i < problem.n; ++i) {
    const auto count = static_cast<std::size_t>(problem.column_counts[i]);
    if (i == column) {
      alone.row_indices.assign(problem.row_indices.begin() + entry, problem.row_indices.begin() + entry + count);
      alone.values.assign(problem.values.begin() + entry, problem.values.begin() + entry + count);
    }
    alone.column_counts[i] = i == column ? static_cast<double>(count) : 0.0;
    entry += count;
  }
  return alone;
}

TYPED_TEST(PerPointShares, EachShareIsTheModulesLossOfItsColumnAlone) {
  constexpr bool kSingle = std::is_same_v<TypeParam, float>;
  std::mt19937_64 rng(1208);
  for (int trial = 0; trial < 40; ++trial) {
    SCOPED_TRACE(trial);
    // Columns long enough to span several of the kernel's blocks of entries, and
    // dimensions the kernel fixes at compile time (2, 3) or not.
    auto problem = RandomProblem<TypeParam>(rng, 14, trial % 3 == 0 ? 7 : 3, trial % 2 == 0 ? 40 : 5);
    if (!problem.values.empty()) problem.values[problem.values.size() / 2] = 0;  // a stored zero
    const auto shares = tsneloss::core::PerPointShares(EmbeddingOf(problem), ColumnsOf(problem), problem.z, kSingle);
    ASSERT_EQ(shares.size(), static_cast<std::size_t>(problem.n));
    double total_magnitude = 0;
    for (std::int32_t i = 0; i < problem.n; ++i) {
      SCOPED_TRACE(i);
      const TypeParam share = static_cast<TypeParam>(shares[static_cast<std::size_t>(i)]);
      EXPECT_EQ(static_cast<double>(share), shares[static_cast<std::size_t>(i)]) << "widened exactly";
      EXPECT_TRUE(SameBits(share, ModuleLoss(OnlyColumn(problem, i))));
      total_magnitude += std::abs(shares[static_cast<std::size_t>(i)]);
    }
    // One running sum against one per column: they differ by rounding only.
    double sum = 0;
    for (const double share : shares) sum += share;
    const double epsilon = std::numeric_limits<TypeParam>::epsilon();
    EXPECT_NEAR(sum, static_cast<double>(ModuleLoss(problem)), 4 * epsilon * (problem.values.size() + 1) * total_magnitude);
  }
}

std::vector<double> NpyDoubles(const std::string& file) {
  const std::size_t header_length = static_cast<unsigned char>(file[8]) | static_cast<unsigned char>(file[9]) << 8;
  std::vector<double> values((file.size() - 10 - header_length) / sizeof(double));
  std::memcpy(values.data(), file.data() + 10 + header_length, values.size() * sizeof(double));
  return values;
}

// Two points (0, 0) and (3, 4), each the other's only neighbour with p = 0.5, Z = 1:
// each share is 0.5 ln(0.5 * 26) = ln(13) / 2.
TEST_F(Tsneloss, PerPointWritesEachPointsShareAsTextOrNpy) {
  const auto y = Write("y.txt", kTwoPoints);
  const auto p = Write("p.mtx", kTwoPointsP);
  const double half_ln_13 = 0.5 * std::log(13.0);
  const Outcome text = Run({"--z", "1", "--per-point", (dir_ / "shares.txt").string(), y.string(), p.string()});
  ASSERT_EQ(text.status, 0) << text.err;
  EXPECT_EQ(Slurp(dir_ / "shares.txt"), Formatted(half_ln_13, 17) + Formatted(half_ln_13, 17));

  const Outcome npy = Run({"--z=1", "--per-point=" + (dir_ / "shares.npy").string(), y.string(), p.string()});
  ASSERT_EQ(npy.status, 0) << npy.err;
  const std::string file = Slurp(dir_ / "shares.npy");
  ASSERT_GT(file.size(), 10u);
  EXPECT_EQ(file.substr(0, 8), std::string("\x93NUMPY\x01\x00", 8));
  EXPECT_NE(file.find("{'descr': '<f8', 'fortran_order': False, 'shape': (2,), }"), std::string::npos);
  EXPECT_EQ((10 + file.size() - 2 * sizeof(double)) % 64, 10u) << "data start on a multiple of 64";
  EXPECT_EQ(NpyDoubles(file), (std::vector<double>{half_ln_13, half_ln_13}));

  const Outcome single = Run({"--single", "--z", "1", "--per-point", (dir_ / "single.txt").string(), y.string(), p.string()});
  ASSERT_EQ(single.status, 0) << single.err;
  const float single_share = 0.5f * logf(13.0f);
  EXPECT_EQ(Slurp(dir_ / "single.txt"), Formatted(single_share, 9) + Formatted(single_share, 9));

  const Outcome unwritable = Run({"--z", "1", "--per-point", (dir_ / "no" / "such.txt").string(), y.string(), p.string()});
  EXPECT_EQ(unwritable.status, 1);
  EXPECT_NE(unwritable.err.find("such.txt: cannot open the file for writing"), std::string::npos) << unwritable.err;
}

}  // namespace
}  // namespace tsne_test
