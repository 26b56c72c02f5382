#include "affinities/exact_prepare.hpp"

#include <cmath>
#include <cstdint>
#include <limits>

#include "affinities/exact_tile.hpp"

namespace affinities::detail {
namespace {

constexpr double kU = 0x1p-24;
constexpr int kScaleLimit = 400;  // 2^±400: squares, sums and the scaled doubles' underflow stay harmless

// A float view of `storage` at a 64-byte boundary, for whole-line vector loads.
float* Aligned(std::vector<float>& storage, std::size_t size) {
  storage.assign(size + 16, 0.0f);
  const auto address = reinterpret_cast<std::uintptr_t>(storage.data());
  return storage.data() + ((64 - address % 64) % 64) / sizeof(float);
}

}  // namespace

Prepared Prepare(const double* x, std::size_t n, std::size_t d) {
  Prepared prepared;
  if (d == 0) return prepared;
  // Each term divided first, so that the sum cannot overflow.
  std::vector<double> mean(d, 0.0);
  const double inverse = 1.0 / static_cast<double>(n);
  for (std::size_t i = 0; i < n; ++i) {
    for (std::size_t c = 0; c < d; ++c) mean[c] += x[i * d + c] * inverse;
  }
  std::vector<double> z(n * d);
  prepared.radius.resize(n);
  double largest = 0;
  for (std::size_t i = 0; i < n; ++i) {
    double sum = 0;
    for (std::size_t c = 0; c < d; ++c) {
      z[i * d + c] = x[i * d + c] - mean[c];
      sum += z[i * d + c] * z[i * d + c];
    }
    prepared.radius[i] = std::sqrt(sum);
    if (!(prepared.radius[i] <= largest)) largest = prepared.radius[i];  // NaN and inf stick
  }
  if (!std::isfinite(largest) || largest < std::ldexp(1.0, -kScaleLimit) || largest > std::ldexp(1.0, kScaleLimit)) {
    return prepared;
  }
  prepared.usable = true;
  // The largest radius lands in [1, 2): floats neither overflow nor lose their range.
  const int scale = -std::ilogb(largest);
  for (double& value : z) value = std::ldexp(value, scale);
  for (double& r : prepared.radius) r = std::ldexp(r, scale);
  prepared.cu = 2.0 * static_cast<double>(d + 10) * kU;
  prepared.absolute = static_cast<double>(d + 10) * 0x1p-100;

  const std::size_t padded_rows = (n + kGroup - 1) / kGroup * kGroup;
  float* rows = Aligned(prepared.row_storage, padded_rows * d);
  for (std::size_t i = 0; i < n * d; ++i) rows[i] = static_cast<float>(z[i]);
  prepared.rows = rows;

  prepared.panels = (n + kPanel - 1) / kPanel;
  const std::size_t columns = prepared.panels * kPanel;
  float* packed = Aligned(prepared.packed_storage, columns * d);
  prepared.norms.assign(columns, std::numeric_limits<float>::infinity());
  prepared.slacks.assign(columns, 0.0f);
  for (std::size_t j = 0; j < n; ++j) {
    const std::size_t panel = j / kPanel;
    const std::size_t lane = j % kPanel;
    double norm = 0;  // squares of floats are exact in double
    for (std::size_t c = 0; c < d; ++c) {
      const float value = rows[j * d + c];
      packed[(panel * d + c) * kPanel + lane] = value;
      norm += static_cast<double>(value) * static_cast<double>(value);
    }
    prepared.norms[j] = static_cast<float>(norm);
    prepared.slacks[j] = FloatAbove(2.0 * prepared.cu * prepared.radius[j] * prepared.radius[j] * (1 + 0x1p-40));
  }
  prepared.packed = packed;
  return prepared;
}

}  // namespace affinities::detail
