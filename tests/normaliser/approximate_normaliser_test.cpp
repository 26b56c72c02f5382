// The approximate normaliser against the exact one: within its own error estimate,
// and that estimate within the promised 1e-6, on maps of every shape.
#include "normaliser/approximate_normaliser.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <stdexcept>
#include <vector>

#include "bits.hpp"
#include "embedding_shapes.hpp"
#include "normaliser/exact_normaliser.hpp"

namespace tsne_test {
namespace {

using tsneloss::normaliser::ApproximateNormaliser;

void ExpectWithinEstimate(const std::vector<double>& y, std::size_t n, std::size_t d) {
  const double exact = tsneloss::normaliser::ExactNormaliser(y.data(), n, d);
  const tsneloss::normaliser::ApproximateZ approximate = ApproximateNormaliser(y.data(), n, d);
  const double error = std::abs(approximate.z - exact) / exact;
  EXPECT_LE(error, approximate.relative_error) << approximate.z << " against " << exact;
  EXPECT_LE(approximate.relative_error, 1e-6);
}

TEST(ApproximateNormaliser, WithinItsEstimateOfTheExactZ) {
  for (const Shape shape : kShapes) {
    for (const std::size_t d : {1, 2}) {
      for (const std::size_t n : {2000, 30000}) {
        SCOPED_TRACE(std::string(ShapeName(shape)) + ", d " + std::to_string(d) + ", n " + std::to_string(n));
        ExpectWithinEstimate(MakeEmbedding(shape, n, d, n + d), n, d);
      }
    }
  }
}

// Three dimensions: the finest grid fits maps up to about 12 units wide.
TEST(ApproximateNormaliser, CompactMapsInThreeDimensions) {
  for (const Shape shape : kShapes) {
    SCOPED_TRACE(ShapeName(shape));
    const std::size_t n = 6000;
    std::vector<double> y = MakeEmbedding(shape, n, 3, 11);
    if (shape != Shape::kTightCluster) {
      for (double& v : y) v *= 0.06;
    }
    ExpectWithinEstimate(y, n, 3);
  }
}

TEST(ApproximateNormaliser, FarOutliersAreSummedExactly) {
  const std::size_t n = 30000;
  const std::vector<double> y = MakeEmbedding(Shape::kFarOutliers, n, 2, 5);
  const tsneloss::normaliser::ApproximateZ approximate = ApproximateNormaliser(y.data(), n, 2);
  // One point in 97 is an outlier; the grid keeps the bulk at its finest spacing.
  EXPECT_GE(approximate.exact_points, n / 97 / 2);
  EXPECT_LE(approximate.exact_points, n / 20);
  EXPECT_EQ(approximate.spacing, 0.075);
}

// Outliers that sit together far from the bulk: their pairs among themselves weigh as
// much as any, and each must be counted once.
TEST(ApproximateNormaliser, AFarClusterOfOutliersIsCountedOnce) {
  const std::size_t n = 20000;
  std::vector<double> y = MakeEmbedding(Shape::kUniform, n, 2, 9);
  for (std::size_t i = 0; i < n; i += 50) {
    y[2 * i] = 5000 + 0.01 * static_cast<double>(i % 7);
    y[2 * i + 1] = -3000 + 0.01 * static_cast<double>(i % 11);
  }
  const tsneloss::normaliser::ApproximateZ approximate = ApproximateNormaliser(y.data(), n, 2);
  EXPECT_GE(approximate.exact_points, n / 50);
  ExpectWithinEstimate(y, n, 2);
}

TEST(ApproximateNormaliser, SameBitsForEveryThreadCount) {
  for (const Shape shape : {Shape::kManyClusters, Shape::kFarOutliers}) {
    SCOPED_TRACE(ShapeName(shape));
    const std::size_t n = 20000;
    const std::vector<double> y = MakeEmbedding(shape, n, 2, 3);
    const double one = ApproximateNormaliser(y.data(), n, 2, {1}).z;
    for (const unsigned threads : {2u, 3u}) {
      SCOPED_TRACE(threads);
      EXPECT_TRUE(SameBits(ApproximateNormaliser(y.data(), n, 2, {threads}).z, one));
    }
  }
}

TEST(ApproximateNormaliser, RefusesWhatItCannotDo) {
  const std::vector<double> wide = MakeEmbedding(Shape::kUniform, 5000, 3, 1);
  EXPECT_THROW(ApproximateNormaliser(wide.data(), 5000, 3), tsneloss::normaliser::MapRefused);
  const std::vector<double> four(40, 1.0);
  EXPECT_THROW(ApproximateNormaliser(four.data(), 10, 4), std::invalid_argument);
  std::vector<double> with_nan = MakeEmbedding(Shape::kUniform, 10, 2, 1);
  with_nan[7] = std::numeric_limits<double>::quiet_NaN();
  EXPECT_THROW(ApproximateNormaliser(with_nan.data(), 10, 2), std::invalid_argument);
}

TEST(ApproximateNormaliser, FewPoints) {
  const std::vector<double> two = {0, 0, 3, 4};
  EXPECT_EQ(ApproximateNormaliser(two.data(), 1, 2).z, 0.0);
  const tsneloss::normaliser::ApproximateZ pair = ApproximateNormaliser(two.data(), 2, 2);
  EXPECT_NEAR(pair.z, 2.0 / 26, 1e-6 * 2.0 / 26);
  EXPECT_EQ(ApproximateNormaliser(nullptr, 5, 0).z, 20.0);
}

}  // namespace
}  // namespace tsne_test
