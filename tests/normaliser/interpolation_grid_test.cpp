// The grid's FFT energy against its own kernel summed pair by pair: they must agree
// to rounding, in every dimension and box size, or the transforms, the padding, the
// half-spectrum weights or the removed self terms are wrong.
#include "normaliser/interpolation_grid.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <numeric>
#include <vector>

#include "embedding_shapes.hpp"

namespace tsne_test {
namespace {

TEST(InterpolationGrid, EnergyIsTheSumOfItsPairKernels) {
  for (const std::size_t d : {1, 2, 3}) {
    for (const int box_size : {6, 8}) {
      SCOPED_TRACE("d " + std::to_string(d) + ", box " + std::to_string(box_size));
      const std::size_t n = 150;
      std::vector<double> y = MakeEmbedding(Shape::kManyClusters, n, d, d);
      for (double& v : y) v *= 0.05;  // a few units wide: a small grid
      std::vector<double> lo(d, INFINITY), hi(d, -INFINITY);
      for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t k = 0; k < d; ++k) {
          lo[k] = std::min(lo[k], y[i * d + k]);
          hi[k] = std::max(hi[k], y[i * d + k]);
        }
      }
      tsneloss::normaliser::detail::InterpolationGrid grid(lo, hi, 0.075, {8, 6}, 1);
      std::vector<std::size_t> rows(n);
      std::iota(rows.begin(), rows.end(), 0);
      long double pairwise = 0, exact = 0;
      for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t j = 0; j < n; ++j) {
          if (i == j) continue;
          pairwise += grid.PairKernel(&y[i * d], &y[j * d], d, box_size);
          long double squared = 0;
          for (std::size_t k = 0; k < d; ++k) squared += (y[i * d + k] - y[j * d + k]) * (y[i * d + k] - y[j * d + k]);
          exact += 1 / (1 + squared);
        }
      }
      const double energy = grid.OffDiagonal(y.data(), d, rows, box_size);
      EXPECT_NEAR(energy, static_cast<double>(pairwise), 1e-12 * energy);
      // And the interpolation itself is close: the grid is fine for the kernel.
      EXPECT_NEAR(energy, static_cast<double>(exact), 1e-5 * energy);
    }
  }
}

}  // namespace
}  // namespace tsne_test
