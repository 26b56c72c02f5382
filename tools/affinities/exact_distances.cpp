#include "affinities/exact_distances.hpp"

#include <algorithm>

namespace tsneloss::affinities::detail {
namespace {

constexpr std::size_t kInterleave = 4;  // independent sums hide the latency of the adds
constexpr std::size_t kAhead = 16;      // rows asked for before they are summed

// A lambda, so that the sorts inline it.
constexpr auto kBefore = [](const Ranked& a, const Ranked& b) {
  return a.distance < b.distance || (a.distance == b.distance && a.index < b.index);
};

template <typename Real>
void Prefetch(const Real* x, std::size_t d, std::int32_t j) {
  const char* row = reinterpret_cast<const char*>(x + static_cast<std::size_t>(j) * d);
  for (std::size_t byte = 0; byte < d * sizeof(Real); byte += 64) __builtin_prefetch(row + byte);
}

// The difference in double: exact widening, so float points give double's bits.
template <typename Real>
double Difference(Real a, Real b) {
  return static_cast<double>(a) - static_cast<double>(b);
}

}  // namespace

template <typename Real>
void ExactSquaredDistances(const Real* x, std::size_t d, std::size_t i, const std::int32_t* js, std::size_t count,
                           double* out) {
  const Real* xi = x + i * d;
  std::size_t m = 0;
  // The rows are scattered over memory: ask for the next few while these are summed.
  for (std::size_t ahead = 0; ahead < count && ahead < kAhead; ++ahead) Prefetch(x, d, js[ahead]);
  for (; m + kInterleave <= count; m += kInterleave) {
    for (std::size_t ahead = m + kAhead; ahead < count && ahead < m + kAhead + kInterleave; ++ahead) {
      Prefetch(x, d, js[ahead]);
    }
    const Real* x0 = x + static_cast<std::size_t>(js[m]) * d;
    const Real* x1 = x + static_cast<std::size_t>(js[m + 1]) * d;
    const Real* x2 = x + static_cast<std::size_t>(js[m + 2]) * d;
    const Real* x3 = x + static_cast<std::size_t>(js[m + 3]) * d;
    double s0 = 0, s1 = 0, s2 = 0, s3 = 0;
    for (std::size_t c = 0; c < d; ++c) {
      const double t0 = Difference(xi[c], x0[c]), t1 = Difference(xi[c], x1[c]), t2 = Difference(xi[c], x2[c]),
                   t3 = Difference(xi[c], x3[c]);
      s0 += t0 * t0;
      s1 += t1 * t1;
      s2 += t2 * t2;
      s3 += t3 * t3;
    }
    out[m] = s0;
    out[m + 1] = s1;
    out[m + 2] = s2;
    out[m + 3] = s3;
  }
  for (; m < count; ++m) {
    const Real* xj = x + static_cast<std::size_t>(js[m]) * d;
    double s = 0;
    for (std::size_t c = 0; c < d; ++c) {
      const double t = Difference(xi[c], xj[c]);
      s += t * t;
    }
    out[m] = s;
  }
}

void TakeNearest(std::vector<Ranked>& ranked, std::size_t k, std::int32_t* indices, float* distances) {
  const auto end = ranked.begin() + static_cast<std::ptrdiff_t>(k);
  if (k < ranked.size()) std::nth_element(ranked.begin(), end - 1, ranked.end(), kBefore);
  std::sort(ranked.begin(), end, kBefore);
  for (std::size_t m = 0; m < k; ++m) {
    indices[m] = ranked[m].index;
    distances[m] = static_cast<float>(ranked[m].distance);
  }
}

void TakeNearestOf(const double* distances, const std::int32_t* indices, std::size_t size, std::size_t k,
                   std::int32_t* nearest, float* nearest_distances, std::vector<Ranked>& scratch) {
  scratch.clear();
  for (std::size_t m = 0; m < size; ++m) scratch.push_back({distances[m], indices[m]});
  TakeNearest(scratch, k, nearest, nearest_distances);
}

template <typename Real>
void NearestByAll(const Real* x, std::size_t n, std::size_t d, std::size_t i, std::size_t k, std::int32_t* indices,
                  float* distances, std::vector<Ranked>& scratch, MeasureKernel<Real> measure) {
  constexpr std::size_t kChunk = 256;
  std::int32_t js[kChunk];
  double out[kChunk];
  scratch.clear();
  scratch.reserve(n - 1);  // no doubling past what the memory estimate counts
  for (std::size_t j0 = 0; j0 < n; j0 += kChunk) {
    std::size_t count = 0;
    for (std::size_t j = j0; j < n && j < j0 + kChunk; ++j) {
      if (j != i) js[count++] = static_cast<std::int32_t>(j);
    }
    measure(x, d, i, js, count, out);
    for (std::size_t m = 0; m < count; ++m) scratch.push_back({out[m], js[m]});
  }
  TakeNearest(scratch, k, indices, distances);
}

template void ExactSquaredDistances(const double*, std::size_t, std::size_t, const std::int32_t*, std::size_t, double*);
template void ExactSquaredDistances(const float*, std::size_t, std::size_t, const std::int32_t*, std::size_t, double*);
template void NearestByAll(const double*, std::size_t, std::size_t, std::size_t, std::size_t, std::int32_t*, float*,
                           std::vector<Ranked>&, MeasureKernel<double>);
template void NearestByAll(const float*, std::size_t, std::size_t, std::size_t, std::size_t, std::int32_t*, float*,
                           std::vector<Ranked>&, MeasureKernel<float>);

}  // namespace tsneloss::affinities::detail
