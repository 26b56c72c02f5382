#include "affinities/exact_prepare.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>

#include "affinities/exact_tile.hpp"
#include "support/parallel.hpp"

namespace tsneloss::affinities::detail {
namespace {

constexpr double kU = 0x1p-24;
constexpr int kScaleLimit = 400;
constexpr std::size_t kColumnsPerTask = 16;
constexpr std::size_t kMedianSample = 4096;
constexpr std::size_t kPointsPerTask = 1024;  // whole panels: no two tasks write one panel's line  // 2^±400: squares, sums and the scaled doubles' underflow stay harmless

// A float view of `storage` at a 64-byte boundary, for whole-line vector loads; the
// values are left unset (all but the padding are written once).
float* Aligned(LargeVector<float>& storage, std::size_t size) {
  storage.resize(size + 16);
  const auto address = reinterpret_cast<std::uintptr_t>(storage.data());
  return storage.data() + ((64 - address % 64) % 64) / sizeof(float);
}

// Each coordinate's median over an even spread of at most kMedianSample points (one
// far point moves it no more than it moves the median of all), coordinates taken
// sixteen at a time so that the points' rows are read whole.
template <typename Real>
std::vector<double> Medians(const Real* x, std::size_t n, std::size_t d, const support::Parallel& parallel) {
  const std::size_t sampled = std::min(n, kMedianSample);
  std::vector<double> centre(d);
  std::vector<std::vector<double>> scratch(support::ThreadCount(parallel.threads));
  support::ParallelFor((d + kColumnsPerTask - 1) / kColumnsPerTask, parallel, [&](std::size_t task, unsigned worker) {
    const std::size_t first = task * kColumnsPerTask;
    const std::size_t width = std::min(kColumnsPerTask, d - first);
    std::vector<double>& columns = scratch[worker];
    columns.resize(width * sampled);
    for (std::size_t s = 0; s < sampled; ++s) {
      const std::size_t i = s * n / sampled;
      for (std::size_t c = 0; c < width; ++c) columns[c * sampled + s] = static_cast<double>(x[i * d + first + c]);
    }
    for (std::size_t c = 0; c < width; ++c) {
      const auto begin = columns.begin() + static_cast<std::ptrdiff_t>(c * sampled);
      const auto middle = begin + static_cast<std::ptrdiff_t>(sampled / 2);
      std::nth_element(begin, middle, begin + static_cast<std::ptrdiff_t>(sampled));
      centre[first + c] = *middle;
    }
  });
  return centre;
}

// Calls body(i) for every point, in ranges of whole panels, on the threads.
template <typename Body>
void ForPoints(std::size_t n, const support::Parallel& parallel, const Body& body) {
  support::ParallelFor((n + kPointsPerTask - 1) / kPointsPerTask, parallel, [&](std::size_t task, unsigned) {
    for (std::size_t i = task * kPointsPerTask; i < std::min(n, (task + 1) * kPointsPerTask); ++i) body(i);
  });
}

}  // namespace

template <typename Real>
Prepared Prepare(const Real* x, std::size_t n, std::size_t d, unsigned threads) {
  Prepared prepared;
  if (d == 0) return prepared;
  const support::Parallel parallel{threads, {}};
  // The centre is each coordinate's median: unlike the mean, one far point cannot
  // move it away from the bulk, whose norms (and so bounds) then stay small.
  const std::vector<double> centre = Medians(x, n, d, parallel);
  // Centred coordinates are recomputed where needed rather than kept: a copy of the
  // data would cost more to allocate and fill than the subtractions.
  prepared.radius.resize(n);
  ForPoints(n, parallel, [&](std::size_t i) {
    double sum = 0;
    for (std::size_t c = 0; c < d; ++c) {
      const double z = static_cast<double>(x[i * d + c]) - centre[c];
      sum += z * z;
    }
    prepared.radius[i] = std::sqrt(sum);
  });
  double largest = 0;
  for (const double r : prepared.radius) {
    if (!(r <= largest)) largest = r;  // NaN and inf stick
  }
  if (!std::isfinite(largest) || largest < std::ldexp(1.0, -kScaleLimit) || largest > std::ldexp(1.0, kScaleLimit)) {
    return prepared;
  }
  prepared.usable = true;
  // The largest radius lands in [1, 2): floats neither overflow nor lose their range.
  const int scale = -std::ilogb(largest);
  prepared.cu = 2.0 * static_cast<double>(d + 10) * kU;
  prepared.absolute = static_cast<double>(d + 10) * 0x1p-100;

  prepared.panels = (n + kPanel - 1) / kPanel;
  const std::size_t columns = prepared.panels * kPanel;
  float* packed = Aligned(prepared.packed_storage, columns * d);
  std::fill(packed + (prepared.panels - 1) * d * kPanel, packed + columns * d, 0.0f);  // the last panel's padding
  prepared.norms.assign(columns, std::numeric_limits<float>::infinity());
  prepared.slacks.assign(columns, 0.0f);
  const double factor = std::ldexp(1.0, scale);  // a power of two: the product is ldexp's, bit for bit
  ForPoints(n, parallel, [&](std::size_t j) {
    prepared.radius[j] = std::ldexp(prepared.radius[j], scale);
    float* lane = packed + (j / kPanel) * d * kPanel + j % kPanel;
    double norm = 0;  // squares of floats are exact in double
    for (std::size_t c = 0; c < d; ++c) {
      const float value = static_cast<float>((static_cast<double>(x[j * d + c]) - centre[c]) * factor);
      lane[c * kPanel] = value;
      norm += static_cast<double>(value) * static_cast<double>(value);
    }
    prepared.norms[j] = static_cast<float>(norm);
    prepared.slacks[j] = FloatAbove(2.0 * prepared.cu * prepared.radius[j] * prepared.radius[j] * (1 + 0x1p-40));
  });
  prepared.packed = packed;
  return prepared;
}

template Prepared Prepare(const double*, std::size_t, std::size_t, unsigned);
template Prepared Prepare(const float*, std::size_t, std::size_t, unsigned);

}  // namespace tsneloss::affinities::detail
