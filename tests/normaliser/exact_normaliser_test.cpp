// The exact normaliser: one result, to the bit, whatever path and thread count; close
// to a long-double sum; the edges of its blocks and its fallback for far points.
#include "normaliser/exact_normaliser.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <utility>
#include <vector>

#include "bits.hpp"
#include "embedding_shapes.hpp"
#include "normaliser/compensated_sum.hpp"
#include "normaliser/exact_layout.hpp"
#include "support/instruction_set.hpp"

namespace tsne_test {
namespace {

using tsneloss::normaliser::ExactNormaliser;
using tsneloss::support::InstructionSet;
using tsneloss::normaliser::ExactSettings;

std::vector<InstructionSet> AvailablePaths() {
  std::vector<InstructionSet> paths;
  for (InstructionSet path : {InstructionSet::kScalar, InstructionSet::kAvx2, InstructionSet::kAvx512}) {
    if (tsneloss::support::Available(path)) paths.push_back(path);
  }
  return paths;
}

double Exact(const std::vector<double>& y, std::size_t n, std::size_t d, InstructionSet path, unsigned threads) {
  ExactSettings settings;
  settings.path = path;
  settings.threads = threads;
  return ExactNormaliser(y.data(), n, d, settings);
}

// The block sums are added with their rounding carried: a plain sum would lose the
// small terms here entirely.
TEST(CompensatedSum, CarriesWhatEachAdditionRoundsAway) {
  tsneloss::normaliser::detail::CompensatedSum sum;
  sum.Add(1e16);
  for (int k = 0; k < 10; ++k) sum.Add(1.0);
  sum.Add(-1e16);
  EXPECT_EQ(sum.Value(), 10.0);
  tsneloss::normaliser::detail::CompensatedSum small_first;
  small_first.Add(1.0);
  small_first.Add(1e100);
  small_first.Add(1.0);
  small_first.Add(-1e100);
  EXPECT_EQ(small_first.Value(), 2.0);
}

// Sizes around the lane (8), group (4), row block (256) and column block (1024) edges.
TEST(ExactNormaliser, SameBitsForEveryPathAndThreadCount) {
  for (const std::size_t n : {2, 3, 5, 9, 12, 255, 257, 1023, 1029, 2100}) {
    for (const std::size_t d : {1, 2, 3, 4, 7}) {
      SCOPED_TRACE("n " + std::to_string(n) + ", d " + std::to_string(d));
      const std::vector<double> y = MakeEmbedding(Shape::kFarOutliers, n, d, n * 10 + d);
      const double scalar = Exact(y, n, d, InstructionSet::kScalar, 1);
      for (const InstructionSet path : AvailablePaths()) {
        for (const unsigned threads : {1u, 2u, 3u}) {
          SCOPED_TRACE(tsneloss::support::Name(path) + ", threads " + std::to_string(threads));
          EXPECT_TRUE(SameBits(Exact(y, n, d, path, threads), scalar));
        }
      }
    }
  }
}

// The sums the approximate Z takes exactly for points off its grid: groups of up to
// four rows against column ranges that end anywhere in a lane or a column block.
TEST(CrossSum, SameBitsOnEveryPathAndCloseToALongDoubleSum) {
  const std::size_t n = 2100;
  for (const std::size_t d : {1, 2, 3, 5}) {
    const std::vector<double> y = MakeEmbedding(Shape::kFarOutliers, n, d, 77 + d);
    const std::size_t stride = n + 16;
    std::vector<double> columns(stride * d, 0.0);
    for (std::size_t j = 0; j < n; ++j) {
      for (std::size_t k = 0; k < d; ++k) columns[k * stride + j] = y[j * d + k];
    }
    const tsneloss::normaliser::detail::SweepInput input{columns.data(), stride, n, d};
    for (const std::size_t rows : {1, 3, 4}) {
      for (const auto& [begin, end] : {std::pair<std::size_t, std::size_t>{0, n}, {5, 1030}, {1024, 1033}, {7, 8}}) {
        SCOPED_TRACE("d " + std::to_string(d) + ", rows " + std::to_string(rows) + ", columns " +
                     std::to_string(begin) + " to " + std::to_string(end));
        const std::size_t r0 = 1001;
        long double reference = 0;
        for (std::size_t r = r0; r < r0 + rows; ++r) {
          for (std::size_t j = begin; j < end; ++j) {
            long double a = 1;
            for (std::size_t k = 0; k < d; ++k) {
              const long double diff = static_cast<long double>(y[r * d + k]) - y[j * d + k];
              a += diff * diff;
            }
            reference += 1 / a;
          }
        }
        const double scalar = tsneloss::normaliser::detail::CrossSweepFor(InstructionSet::kScalar)(input, r0, rows, begin, end);
        EXPECT_NEAR(scalar, static_cast<double>(reference), 1e-13 * static_cast<double>(reference));
        for (const InstructionSet path : AvailablePaths()) {
          SCOPED_TRACE(tsneloss::support::Name(path));
          EXPECT_TRUE(SameBits(tsneloss::normaliser::detail::CrossSweepFor(path)(input, r0, rows, begin, end), scalar));
        }
      }
    }
  }
}

TEST(ExactNormaliser, WithinOneInTenTrillionOfALongDoubleSum) {
  for (const Shape shape : kShapes) {
    for (const std::size_t d : {1, 2, 3}) {
      SCOPED_TRACE(std::string(ShapeName(shape)) + ", d " + std::to_string(d));
      const std::size_t n = 3001;
      const std::vector<double> y = MakeEmbedding(shape, n, d, 7 + d);
      const long double reference = LongDoubleNormaliser(y, n, d);
      const double z = Exact(y, n, d, InstructionSet::kAuto, 0);
      EXPECT_LE(std::abs(static_cast<long double>(z) - reference) / reference, 1e-13L) << z;
    }
  }
}

// Points 1e100 apart: the four-term fraction would overflow, so those terms are
// divided one by one, the same way on every path.
TEST(ExactNormaliser, FarApartPointsAreSummedTermByTerm) {
  const std::size_t n = 700;
  const std::size_t d = 2;
  std::vector<double> y = MakeEmbedding(Shape::kManyClusters, n, d, 3);
  for (std::size_t i = 0; i < n; i += 3) y[i * d] *= 1e100;
  const long double reference = LongDoubleNormaliser(y, n, d);
  const double scalar = Exact(y, n, d, InstructionSet::kScalar, 1);
  EXPECT_LE(std::abs(static_cast<long double>(scalar) - reference) / reference, 1e-13L) << scalar;
  for (const InstructionSet path : AvailablePaths()) {
    SCOPED_TRACE(tsneloss::support::Name(path));
    EXPECT_TRUE(SameBits(Exact(y, n, d, path, 2), scalar));
  }
}

TEST(ExactNormaliser, SmallAndDegenerateEmbeddings) {
  const std::vector<double> two = {0, 0, 3, 4};
  EXPECT_TRUE(SameBits(ExactNormaliser(two.data(), 2, 2), 2.0 / 26));
  EXPECT_EQ(ExactNormaliser(two.data(), 1, 2), 0.0);
  EXPECT_EQ(ExactNormaliser(nullptr, 0, 2), 0.0);
  // No coordinates: every pair at distance 0, Z = n (n - 1), a whole number.
  EXPECT_EQ(ExactNormaliser(nullptr, 1000, 0), 1000.0 * 999);
}

TEST(ExactNormaliser, ProgressRisesToOne) {
  const std::size_t n = 3000;
  const std::vector<double> y = MakeEmbedding(Shape::kUniform, n, 2, 1);
  std::vector<double> seen;
  ExactSettings settings;
  settings.threads = 1;  // with more, a helper may take every block before the caller
  settings.progress = [&seen](double fraction) { seen.push_back(fraction); };
  ExactNormaliser(y.data(), n, 2, settings);
  ASSERT_GE(seen.size(), 2u);
  for (std::size_t k = 1; k < seen.size(); ++k) EXPECT_LE(seen[k - 1], seen[k]);
  EXPECT_GT(seen.front(), 0.0);
  EXPECT_EQ(seen.back(), 1.0);
}

}  // namespace
}  // namespace tsne_test
