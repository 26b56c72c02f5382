// The squared distance the lists are ordered by, and the choice of the k nearest.
// They alone decide the lists, so each sum runs over the coordinates in order (the
// vector forms take four or eight sums side by side, each in that order): every
// thread count and instruction-set path gives the same bits.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tsneloss::affinities::detail {

// A point met as a neighbour: its exact squared distance and its index.
struct Ranked {
  double distance;
  std::int32_t index;
};

// out[m] = sum over c = 0 .. d-1, in order, of (x_ic - x_jc)^2 in double, for
// j = js[m], m < count. Real is double or float (widened exactly): float points give
// the bits of the same values in double.
template <typename Real>
void ExactSquaredDistances(const Real* x, std::size_t d, std::size_t i, const std::int32_t* js, std::size_t count,
                           double* out);
// The same bits, four or eight candidates at a time.
template <typename Real>
void ExactSquaredDistancesAvx2(const Real* x, std::size_t d, std::size_t i, const std::int32_t* js,
                               std::size_t count, double* out);
template <typename Real>
void ExactSquaredDistancesAvx512(const Real* x, std::size_t d, std::size_t i, const std::int32_t* js,
                                 std::size_t count, double* out);

template <typename Real>
using MeasureKernel = decltype(&ExactSquaredDistances<Real>);

// Writes the k (<= ranked.size()) first of `ranked` by (distance, index), nearest
// first, the distances rounded to float; `ranked` is reordered.
void TakeNearest(std::vector<Ranked>& ranked, std::size_t k, std::int32_t* indices, float* distances);

// TakeNearest on the pairs (distances[m], indices[m]), m < size (k <= size); `scratch`
// is reused. The AVX-512 form counts each pair's rank instead of sorting.
void TakeNearestOf(const double* distances, const std::int32_t* indices, std::size_t size, std::size_t k,
                   std::int32_t* nearest, float* nearest_distances, std::vector<Ranked>& scratch);
void TakeNearestOfAvx512(const double* distances, const std::int32_t* indices, std::size_t size, std::size_t k,
                         std::int32_t* nearest, float* nearest_distances, std::vector<Ranked>& scratch);

// Point i's k nearest among all n points, measured exactly by `measure`; `scratch` is reused.
template <typename Real>
void NearestByAll(const Real* x, std::size_t n, std::size_t d, std::size_t i, std::size_t k, std::int32_t* indices,
                  float* distances, std::vector<Ranked>& scratch,
                  MeasureKernel<Real> measure = &ExactSquaredDistances<Real>);

}  // namespace tsneloss::affinities::detail
