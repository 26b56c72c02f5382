// A running sum that carries its rounding error (Neumaier's variant of Kahan's
// method): adding m values loses about one rounding in total, not m of them.
// Internal linkage on purpose: the instruction-set paths include it, and each must keep
// its own copy compiled with its own flags.
#pragma once

namespace tsneloss::normaliser::detail {
namespace {

class CompensatedSum {
 public:
  // Adds `x`; the order of the calls fixes the result.
  void Add(double x) {
    const double t = sum_ + x;
    const double abs_sum = sum_ < 0 ? -sum_ : sum_;
    const double abs_x = x < 0 ? -x : x;
    if (abs_sum >= abs_x) {
      error_ += (sum_ - t) + x;
    } else {
      error_ += (x - t) + sum_;
    }
    sum_ = t;
  }
  // The sum with its carried error folded in.
  double Value() const { return sum_ + error_; }

 private:
  double sum_ = 0;
  double error_ = 0;
};

}  // namespace
}  // namespace tsneloss::normaliser::detail
