// The data as the candidate pass reads it: centred on the coordinates' medians (over
// a spread of points), scaled by a power of two, in float, packed for the tile
// kernels, with what the error bound needs.
//
// The bound. Let z be a point centred and scaled (in double), r = |z| (double), y its
// float copy, and a_ij = n_i + key_ij the approximate squared distance, n_i the float
// squared norm of y_i and key_ij what a tile kernel gives. With u = 2^-24, the float
// copy moves each difference y_ic - y_jc by at most about u (|z_ic| + |z_jc|), so
// |y_i - y_j|^2 is within about 2u (r_i + r_j)^2 of |z_i - z_j|^2; the norms, the d
// products and adds of the dot product and the two steps to the key add at most
// (d + 4) u (|y_i| + |y_j|)^2; the kernel's subtraction of its slack one more u; the
// centring and the exact distance itself, in double, are some 2^-29 times smaller.
// So |a_ij - e_ij| <= (d + 8) u (r_i + r_j)^2, e_ij the exact distance scaled alike,
// barring underflow, whose absolute errors (about 2^-149 per coordinate and product
// in float, far less in double) are covered by `absolute`. We take
//   b_ij = cu (r_i + r_j)^2 + absolute,   cu = 2 (d + 10) u,   absolute = (d + 10) 2^-100,
// twice what is needed, which also covers r being rounded.
#pragma once

#include <cstddef>
#include <vector>

#include "support/large_vector.hpp"

namespace tsneloss::affinities::detail {

using support::LargeVector;

struct Prepared {
  // False when the data's scale leaves float no room (coordinates beyond 2^400 or
  // below 2^-400 from the centre, or none): then every point is measured against all.
  bool usable = false;
  std::size_t panels = 0;
  // The points in float, packed in panels of kPanel (zero past the last point): panel
  // p at packed + p * d * kPanel. A tile's kGroup rows are read from the same panels.
  const float* packed = nullptr;
  std::vector<float> norms;       // per column, +inf past the last point
  std::vector<float> slacks;      // per column, >= 2 cu r_j^2
  std::vector<double> radius;     // r_i
  double cu = 0;
  double absolute = 0;

  LargeVector<float> packed_storage;
};

// The candidate pass's view of the n points of x (double, or float widened exactly),
// on `threads` threads (0: one per processor).
template <typename Real>
Prepared Prepare(const Real* x, std::size_t n, std::size_t d, unsigned threads);

// A float >= v, a little above (+inf above the float range): rounding to nearest
// moves v + 2^-22 |v| by at most 2^-24 of itself, and 2^-140 covers underflow.
inline float FloatAbove(double v) { return static_cast<float>(v + 0x1p-22 * (v < 0 ? -v : v) + 0x1p-140); }

// A float sum lies within u of its value (2^-150 where it underflows), and that
// allowance keeps the order: a bound of computed uppers, so widened, bounds exact ones.
inline double Widened(double upper) { return upper + 0x1p-23 * (upper < 0 ? -upper : upper) + 0x1p-140; }

}  // namespace tsneloss::affinities::detail
