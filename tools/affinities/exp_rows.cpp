#include "affinities/exp_rows.hpp"

#include <cmath>
#include <cstring>
#include <vector>

#include "support/instruction_set.hpp"

namespace tsneloss::affinities::detail {
namespace {

constexpr std::size_t kChecked = std::size_t{1} << 18;  // some 2 ms, once

// Arguments as the search makes them, -d beta: spread evenly over the range where exp
// neither underflows nor is 1, over small magnitudes, and round each table entry.
std::vector<double> CheckedArguments() {
  std::vector<double> x;
  x.reserve(kChecked);
  for (std::size_t m = 0; x.size() < kChecked; ++m) {
    const double unit = (static_cast<double>(m) + 0.5) / (kChecked / 4);
    switch (m % 4) {
      case 0: x.push_back(-unit * 745); break;
      case 1: x.push_back(-std::ldexp(1 + unit, -static_cast<int>(m % 60))); break;
      case 2: x.push_back(-static_cast<double>(static_cast<float>(unit * 200)) * std::ldexp(1.0, static_cast<int>(m % 21) - 10)); break;
      default: x.push_back(-std::ldexp(static_cast<double>(m % 1024) + unit, -7)); break;
    }
  }
  return x;
}

bool Agrees() {
#if AFFINITIES_X86_PATHS
  if (!support::Available(support::InstructionSet::kAvx512)) return false;
  const std::vector<double> x = CheckedArguments();
  std::vector<double> vector(x.size());
  ExpsAvx512(x.data(), x.size(), vector.data());
  for (std::size_t m = 0; m < x.size(); ++m) {
    const double plain = std::exp(x[m]);
    if (std::memcmp(&plain, &vector[m], sizeof plain) != 0) return false;
  }
  return true;
#else
  return false;
#endif
}

}  // namespace

ExpsKernel BuiltVectorExps() {
#if AFFINITIES_X86_PATHS
  return &ExpsAvx512;
#else
  return nullptr;
#endif
}

bool VectorExpAgrees() {
  static const bool agrees = Agrees();
  return agrees;
}

void NegatedExpsPlain(const float* squared_distances, std::size_t count, double beta, double* out) {
  for (std::size_t j = 0; j < count; ++j) out[j] = std::exp(-static_cast<double>(squared_distances[j]) * beta);
}

void DivideAll(double* values, std::size_t count, double divisor) {
#if AFFINITIES_X86_PATHS
  static const bool wide = support::Available(support::InstructionSet::kAvx512);
  if (wide) {
    DivideAllAvx512(values, count, divisor);
    return;
  }
#endif
  for (std::size_t j = 0; j < count; ++j) values[j] /= divisor;
}

void NegatedExps(const float* squared_distances, std::size_t count, double beta, double* out) {
#if AFFINITIES_X86_PATHS
  if (VectorExpAgrees()) {
    NegatedExpsAvx512(squared_distances, count, beta, out);
    return;
  }
#endif
  NegatedExpsPlain(squared_distances, count, beta, out);
}

}  // namespace tsneloss::affinities::detail
