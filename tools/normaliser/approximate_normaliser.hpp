// Z = sum over ordered pairs i != j of 1 / (1 + |y_i - y_j|^2), approximated in about
// N + G log G operations (G grid cells) for D = 1, 2, 3, with an estimate of its error.
//
// The points are interpolated onto a uniform grid (spacing 0.075, 8 equispaced
// Lagrange nodes per box and dimension) and the grid's kernel energy is taken with
// FFTs; each point's interpolated kernel with itself is removed exactly. The error
// estimate is the larger of two: the distance to a second interpolation with 6 nodes
// per box, and, over 40000 random pairs (8000 in 3-D), the summed absolute error of
// the interpolated kernel against the exact one as a share of the summed kernel,
// plus three standard errors. The second would be a bound if it were taken over all
// pairs; on clustered, uniform, tight and outlier maps it exceeded the measured
// error in every case, by factors of 1.05 to 100. Points far outside the bulk of the
// map (beyond quantiles of 0.1%, 1% or 3% per tail, when the whole map needs more
// than kMaxGridCells) are summed exactly against all others; where the bulk alone is
// still too wide the spacing grows up to 0.15, beyond which the map is refused.
#pragma once

#include <cstddef>
#include <stdexcept>

namespace tsneloss::normaliser {

struct ApproximateSettings {
  unsigned threads = 0;  // for the transforms and the exact sums; 0: one per hardware thread
};

// The map is too wide for the grid: the approximate Z cannot be had, the exact one can.
class MapRefused : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct ApproximateZ {
  double z = 0;
  double relative_error = 0;  // estimated |z - Z| / Z
  double spacing = 0;         // of the grid (0: no grid was needed)
  std::size_t grid_cells = 0; // of one padded transform
  std::size_t exact_points = 0;  // points summed exactly against all others
};

// The padded transform's largest size: about 270 MB.
inline constexpr std::size_t kMaxGridCells = std::size_t{1} << 25;

// `y` holds n points of d coordinates, point after point; d must be 1, 2 or 3 (or 0).
// Throws std::invalid_argument for another d or a coordinate that is not finite,
// std::bad_alloc.
ApproximateZ ApproximateNormaliser(const double* y, std::size_t n, std::size_t d,
                                   const ApproximateSettings& settings = {});

}  // namespace tsneloss::normaliser
