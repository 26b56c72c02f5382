#include "affinities/exact_prepare.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>

#include "affinities/exact_tile.hpp"

namespace tsneloss::affinities::detail {
namespace {

constexpr double kU = 0x1p-24;
constexpr int kScaleLimit = 400;  // 2^±400: squares, sums and the scaled doubles' underflow stay harmless

// A float view of `storage` at a 64-byte boundary, for whole-line vector loads; the
// values are left unset (all but the padding are written once).
float* Aligned(LargeVector<float>& storage, std::size_t size) {
  storage.resize(size + 16);
  const auto address = reinterpret_cast<std::uintptr_t>(storage.data());
  return storage.data() + ((64 - address % 64) % 64) / sizeof(float);
}

}  // namespace

template <typename Real>
Prepared Prepare(const Real* x, std::size_t n, std::size_t d) {
  Prepared prepared;
  if (d == 0) return prepared;
  // The centre is each coordinate's median: unlike the mean, one far point cannot
  // move it away from the bulk, whose norms (and so bounds) then stay small.
  std::vector<double> centre(d);
  std::vector<double> column(n);
  for (std::size_t c = 0; c < d; ++c) {
    for (std::size_t i = 0; i < n; ++i) column[i] = static_cast<double>(x[i * d + c]);
    const auto middle = column.begin() + static_cast<std::ptrdiff_t>(n / 2);
    std::nth_element(column.begin(), middle, column.end());
    centre[c] = *middle;
  }
  // Centred coordinates are recomputed where needed rather than kept: a copy of the
  // data would cost more to allocate and fill than the subtractions.
  prepared.radius.resize(n);
  double largest = 0;
  for (std::size_t i = 0; i < n; ++i) {
    double sum = 0;
    for (std::size_t c = 0; c < d; ++c) {
      const double z = static_cast<double>(x[i * d + c]) - centre[c];
      sum += z * z;
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
  for (double& r : prepared.radius) r = std::ldexp(r, scale);
  prepared.cu = 2.0 * static_cast<double>(d + 10) * kU;
  prepared.absolute = static_cast<double>(d + 10) * 0x1p-100;

  prepared.panels = (n + kPanel - 1) / kPanel;
  const std::size_t columns = prepared.panels * kPanel;
  float* packed = Aligned(prepared.packed_storage, columns * d);
  std::fill(packed + (prepared.panels - 1) * d * kPanel, packed + columns * d, 0.0f);  // the last panel's padding
  prepared.norms.assign(columns, std::numeric_limits<float>::infinity());
  prepared.slacks.assign(columns, 0.0f);
  const double factor = std::ldexp(1.0, scale);  // a power of two: the product is ldexp's, bit for bit
  for (std::size_t j = 0; j < n; ++j) {
    float* lane = packed + (j / kPanel) * d * kPanel + j % kPanel;
    double norm = 0;  // squares of floats are exact in double
    for (std::size_t c = 0; c < d; ++c) {
      const float value = static_cast<float>((static_cast<double>(x[j * d + c]) - centre[c]) * factor);
      lane[c * kPanel] = value;
      norm += static_cast<double>(value) * static_cast<double>(value);
    }
    prepared.norms[j] = static_cast<float>(norm);
    prepared.slacks[j] = FloatAbove(2.0 * prepared.cu * prepared.radius[j] * prepared.radius[j] * (1 + 0x1p-40));
  }
  prepared.packed = packed;
  return prepared;
}

template Prepared Prepare(const double*, std::size_t, std::size_t);
template Prepared Prepare(const float*, std::size_t, std::size_t);

}  // namespace tsneloss::affinities::detail
