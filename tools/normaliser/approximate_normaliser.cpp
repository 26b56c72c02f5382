#include "normaliser/approximate_normaliser.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <stdexcept>
#include <vector>

#include "normaliser/compensated_sum.hpp"
#include "normaliser/exact_layout.hpp"
#include "normaliser/interpolation_grid.hpp"
#include "support/instruction_set.hpp"
#include "support/parallel.hpp"

namespace tsneloss::normaliser {
namespace {

// Measured relative errors on clustered, uniform and tight maps with 8 nodes: 1e-11
// to 1e-8 at this spacing, up to 2e-6 at 0.1 and 1e-4 at 0.15.
constexpr double kSpacing = 0.075;
constexpr int kFineNodes = 8;
constexpr int kCoarseNodes = 6;
// Beyond this spacing the 8-node boxes are wider than the kernel and the errors grow
// past 1e-4: such maps are refused.
constexpr double kMaxSpacing = 0.15;
// Shares of points each tail of a dimension may lose to the exact sums, tried in turn
// while the whole map does not fit the grid.
constexpr double kTailShares[] = {0.001, 0.01, 0.03};
// Random pairs of the map whose interpolated kernel is compared with the exact one,
// fewer in three dimensions, where each costs 3375 terms.
constexpr std::size_t kSamplePairs[] = {0, 40000, 40000, 8000};
constexpr std::uint64_t kSampleSeed = 20261208;
// At most this many exact pairs for the points outside the grid: tens of seconds, a
// tenth of the exact Z's work at N = 10^6.
constexpr double kMaxExactPairs = 5e10;

struct Bounds {
  std::vector<double> lo, hi;
};

Bounds BoundsOf(const double* y, std::size_t n, std::size_t d) {
  Bounds bounds{std::vector<double>(y, y + d), std::vector<double>(y, y + d)};
  for (std::size_t i = 1; i < n; ++i) {
    for (std::size_t k = 0; k < d; ++k) {
      bounds.lo[k] = std::min(bounds.lo[k], y[i * d + k]);
      bounds.hi[k] = std::max(bounds.hi[k], y[i * d + k]);
    }
  }
  return bounds;
}

// The bulk of each dimension: its quantiles `tail` and 1 - `tail`, widened by a
// twentieth of their distance and one unit of the kernel's width.
Bounds BulkOf(const double* y, std::size_t n, std::size_t d, const Bounds& all, double tail) {
  Bounds bulk = all;
  std::vector<double> values(n);
  const std::size_t low_rank = static_cast<std::size_t>(tail * static_cast<double>(n - 1));
  const std::size_t high_rank = n - 1 - low_rank;
  for (std::size_t k = 0; k < d; ++k) {
    for (std::size_t i = 0; i < n; ++i) values[i] = y[i * d + k];
    std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(low_rank), values.end());
    const double low = values[low_rank];
    std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(high_rank), values.end());
    const double high = values[high_rank];
    const double margin = 0.05 * (high - low) + 1.0;
    bulk.lo[k] = std::max(all.lo[k], low - margin);
    bulk.hi[k] = std::min(all.hi[k], high + margin);
  }
  return bulk;
}

std::vector<bool> InsideOf(const double* y, std::size_t n, std::size_t d, const Bounds& bounds) {
  std::vector<bool> inside(n, true);
  for (std::size_t i = 0; i < n; ++i) {
    for (std::size_t k = 0; k < d; ++k) {
      if (y[i * d + k] < bounds.lo[k] || y[i * d + k] > bounds.hi[k]) inside[i] = false;
    }
  }
  return inside;
}

struct GridPlan {
  Bounds bounds;
  double spacing = kSpacing;
};

bool Fits(const GridPlan& plan) {
  return detail::InterpolationGrid::PaddedCells(plan.bounds.lo, plan.bounds.hi, plan.spacing,
                                                {kFineNodes, kCoarseNodes}) <= kMaxGridCells;
}

// The whole map at kSpacing if it fits; else its bulk at kSpacing; else the bulk on a
// coarser grid, up to kMaxSpacing. Throws MapRefused beyond that.
GridPlan PlanGrid(const double* y, std::size_t n, std::size_t d) {
  GridPlan plan{BoundsOf(y, n, d)};
  if (Fits(plan)) return plan;
  const Bounds all = plan.bounds;
  for (const double tail : kTailShares) {
    const Bounds bulk = BulkOf(y, n, d, all, tail);
    const std::vector<bool> inside = InsideOf(y, n, d, bulk);
    const double loose = static_cast<double>(std::count(inside.begin(), inside.end(), false));
    if (loose * static_cast<double>(n) > kMaxExactPairs) break;
    plan.bounds = bulk;
    if (Fits(plan)) return plan;
  }
  while (!Fits(plan) && plan.spacing < kMaxSpacing) plan.spacing = std::min(kMaxSpacing, plan.spacing * 1.125);
  if (!Fits(plan)) {
    throw MapRefused("the embedding is too wide for the approximate Z's grid (" +
                             std::to_string(kMaxGridCells) + " cells at spacing " + std::to_string(kMaxSpacing) +
                             "); use the exact Z");
  }
  return plan;
}

// The ordered pairs with at least one loose point: 2 K for a loose-grid pair, K for
// each order of a loose-loose pair, that is 2 (row sum - 1) minus the loose-loose
// pairs once. Summed exactly by the exact Z's vector paths, four loose points at a
// time against all points: the groups' sums, in group order, fix the bits whatever
// the threads.
double LooseSum(const double* y, std::size_t n, std::size_t d, const std::vector<std::size_t>& loose_rows,
                unsigned threads) {
  // Every point, then the loose ones again, each coordinate in its own array with
  // zeros behind for the paths' loads.
  const std::size_t loose = loose_rows.size();
  const std::size_t stride = (n + loose + detail::kLanes + detail::kGroupRows + 7) / 8 * 8;
  std::vector<double> columns(stride * d, 0.0);
  for (std::size_t j = 0; j < n; ++j) {
    for (std::size_t k = 0; k < d; ++k) columns[k * stride + j] = y[j * d + k];
  }
  for (std::size_t l = 0; l < loose; ++l) {
    for (std::size_t k = 0; k < d; ++k) columns[k * stride + n + l] = y[loose_rows[l] * d + k];
  }
  const detail::SweepInput input{columns.data(), stride, n + loose, d};
  const detail::CrossSweep cross = detail::CrossSweepFor(support::InstructionSet::kAuto);
  const std::size_t groups = (loose + detail::kGroupRows - 1) / detail::kGroupRows;
  std::vector<double> per_group(groups);
  support::ParallelFor(groups, {threads, {}}, [&](std::size_t group, unsigned) {
    const std::size_t first = group * detail::kGroupRows;
    const std::size_t rows = std::min(detail::kGroupRows, loose - first);
    const double all = cross(input, n + first, rows, 0, n);
    const double among_loose = cross(input, n + first, rows, n, n + loose);
    // Each row's sums hold its pair with itself once: 2 (all - 1) - (among - 1) per row.
    per_group[group] = 2 * all - among_loose - static_cast<double>(rows);
  });
  detail::CompensatedSum total;
  for (const double value : per_group) total.Add(value);
  return total.Value();
}

// sum |interpolated K - K| / sum K over random pairs of grid points, plus three
// standard errors of that ratio: the error the grid would make if none of it
// cancelled, as a share of Z. Seeded: the same map gets the same estimate.
double SampledAbsoluteError(const detail::InterpolationGrid& grid, const double* y, std::size_t d,
                            const std::vector<std::size_t>& grid_rows) {
  if (grid_rows.size() < 2) return 0;
  std::mt19937_64 rng(kSampleSeed);
  std::uniform_int_distribution<std::size_t> pick(0, grid_rows.size() - 1);
  std::vector<double> errors, kernels;
  for (std::size_t s = 0; s < kSamplePairs[d]; ++s) {
    const std::size_t i = grid_rows[pick(rng)];
    const std::size_t j = grid_rows[pick(rng)];
    if (i == j) continue;
    double squared = 0;
    for (std::size_t k = 0; k < d; ++k) {
      const double diff = y[i * d + k] - y[j * d + k];
      squared += diff * diff;
    }
    kernels.push_back(1.0 / (1.0 + squared));
    errors.push_back(std::abs(grid.PairKernel(y + i * d, y + j * d, d, kFineNodes) - kernels.back()));
  }
  const double m = static_cast<double>(kernels.size());
  double error_sum = 0, kernel_sum = 0;
  for (std::size_t s = 0; s < kernels.size(); ++s) {
    error_sum += errors[s];
    kernel_sum += kernels[s];
  }
  if (kernel_sum <= 0) return 0;
  const double ratio = error_sum / kernel_sum;
  // The ratio estimator's variance: that of the residuals e - ratio K, over m mean(K)^2.
  double residual_squares = 0;
  for (std::size_t s = 0; s < kernels.size(); ++s) {
    const double residual = errors[s] - ratio * kernels[s];
    residual_squares += residual * residual;
  }
  const double mean_kernel = kernel_sum / m;
  const double standard_error = std::sqrt(residual_squares / (m - 1) / m) / mean_kernel;
  return ratio + 3 * standard_error;
}

}  // namespace

ApproximateZ ApproximateNormaliser(const double* y, std::size_t n, std::size_t d,
                                   const ApproximateSettings& settings) {
  if (d > 3) throw std::invalid_argument("the approximate Z is for 1 to 3 dimensions, not " + std::to_string(d));
  for (std::size_t k = 0; k < n * d; ++k) {
    if (!std::isfinite(y[k])) throw std::invalid_argument("the embedding holds a coordinate that is not finite");
  }
  ApproximateZ result;
  if (n < 2) return result;
  if (d == 0) {
    result.z = static_cast<double>(n) * static_cast<double>(n - 1);
    return result;
  }
  const unsigned threads = support::ThreadCount(settings.threads);

  const GridPlan plan = PlanGrid(y, n, d);
  const std::vector<bool> inside = InsideOf(y, n, d, plan.bounds);
  std::vector<std::size_t> grid_rows, loose_rows;
  for (std::size_t i = 0; i < n; ++i) (inside[i] ? grid_rows : loose_rows).push_back(i);

  detail::InterpolationGrid grid(plan.bounds.lo, plan.bounds.hi, plan.spacing, {kFineNodes, kCoarseNodes},
                                 threads);
  const double fine = grid.OffDiagonal(y, d, grid_rows, kFineNodes);
  const double coarse = grid.OffDiagonal(y, d, grid_rows, kCoarseNodes);
  const double sample_error = SampledAbsoluteError(grid, y, d, grid_rows);

  const double loose = loose_rows.empty() ? 0.0 : LooseSum(y, n, d, loose_rows, threads);

  result.z = fine + loose;
  const double grid_error = std::max(std::abs(fine - coarse), sample_error * std::abs(fine));
  result.relative_error = result.z > 0 ? grid_error / result.z : INFINITY;
  result.spacing = plan.spacing;
  result.grid_cells = grid.Cells();
  result.exact_points = loose_rows.size();
  return result;
}

}  // namespace tsneloss::normaliser
