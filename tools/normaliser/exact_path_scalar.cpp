// The exact normaliser's lanes as plain doubles: the reference every vector path
// must match bit for bit, and the path for processors without vector extensions.
#include "normaliser/exact_sweep.hpp"

namespace tsneloss::normaliser::detail {
namespace {

struct ScalarPath {
  struct Lanes {
    double v[kLanes];
  };
  static Lanes Zero() { return Lanes{}; }

  // Four rows r0.. against the columns c.. c + kLanes - 1, all pairs present:
  // 1/a0 + 1/a1 + 1/a2 + 1/a3 as one fraction, so one division serves four pairs.
  template <std::size_t kD>
  static void Interior(const SweepInput& in, std::size_t r0, std::size_t c, Lanes& lanes) {
    const std::size_t d = kD != 0 ? kD : in.d;
    for (std::size_t l = 0; l < kLanes; ++l) {
      double a[kGroupRows];
      for (std::size_t r = 0; r < kGroupRows; ++r) {
        // 1 + |y_r - y_j|^2, the 1 added first: ((1 + d0^2) + d1^2) + ...
        a[r] = 1.0;
        for (std::size_t k = 0; k < d; ++k) {
          const double diff = in.columns[k * in.stride + r0 + r] - in.columns[k * in.stride + c + l];
          a[r] = a[r] + diff * diff;
        }
      }
      const double p01 = a[0] * a[1];
      const double p23 = a[2] * a[3];
      const double denominator = p01 * p23;
      double term;
      if (denominator < kFractionLimit) {
        term = ((a[0] + a[1]) * p23 + (a[2] + a[3]) * p01) / denominator;
      } else {
        term = (1.0 / a[0] + 1.0 / a[1]) + (1.0 / a[2] + 1.0 / a[3]);
      }
      lanes.v[l] = lanes.v[l] + term;
    }
  }

  static void AddTerms(const double (&terms)[kLanes], Lanes& lanes) {
    for (std::size_t l = 0; l < kLanes; ++l) lanes.v[l] = lanes.v[l] + terms[l];
  }

  // The tree a vector unit folds in: halves, then quarters, then the last pair.
  static double Fold(const Lanes& lanes) {
    const double* v = lanes.v;
    return ((v[0] + v[4]) + (v[2] + v[6])) + ((v[1] + v[5]) + (v[3] + v[7]));
  }
};

}  // namespace

double SweepRowBlockScalar(const SweepInput& input, std::size_t block) {
  return SweepRowBlockAnyD<ScalarPath>(input, block);
}

double CrossSumScalar(const SweepInput& input, std::size_t r0, std::size_t rows, std::size_t column_begin,
                      std::size_t column_end) {
  return CrossSumAnyD<ScalarPath>(input, r0, rows, column_begin, column_end);
}

}  // namespace tsneloss::normaliser::detail
