// Z = sum over ordered pairs i != j of 1 / (1 + |y_i - y_j|^2), approximated in about
// N + G log G operations (G grid cells) for D = 1, 2, 3, with an estimate of its error.
//
// The points are interpolated onto a uniform grid (spacing 0.075, 8 equispaced
// Lagrange nodes per box and dimension) and the grid's kernel energy is taken with
// FFTs. The error estimate is the distance to a second interpolation of the same
// points with 6 nodes per box, whose error is one to three orders of magnitude larger:
// an estimate, not a proven bound. Points far outside the bulk of the map (beyond its
// 0.1% and 99.9% quantiles, when the whole map would need more than kMaxGridCells) are
// summed exactly against all others; where the bulk alone is still too wide the
// spacing grows, and the estimate with it.
#pragma once

#include <cstddef>

namespace normaliser {

struct ApproximateSettings {
  unsigned threads = 0;  // for the transforms and the exact sums; 0: one per hardware thread
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

}  // namespace normaliser
