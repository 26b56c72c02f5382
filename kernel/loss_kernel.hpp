// The t-SNE objective over the stored entries of a sparse P:
//
//   sum over stored (i, j) with value p of  p * ln(p * (1 + |y_i - y_j|^2) * Z)
//
// that is KL(P || Q) with q_ij = 1 / ((1 + |y_i - y_j|^2) Z), Z given by the caller.
// One template over the element type; it takes raw pointers and sizes, never host
// arrays, so it can be benchmarked and tested on its own.
//
// Every step is rounded to T in a fixed order: differences, squares and the squared
// norm summed strictly in dimension order from 1, then (p * s) * Z, its logarithm,
// times p, added to the running sum in storage order. Build without contraction or
// reassociation (-ffp-contract=off, no fast-math) or the bits change.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>

namespace quarn::tsnevek {

namespace detail {

inline double Log(double x) { return std::log(x); }
inline float Log(float x) { return logf(x); }

// 1 + |a - b|^2 in T, each difference rounded before it is squared. kDims > 0 fixes
// the dimension at compile time; 0 reads it from `dims`.
template <typename T, std::uint32_t kDims>
inline T OnePlusSquaredDistance(const T* a, const T* b, std::uint32_t dims) {
  const std::uint32_t count = kDims > 0 ? kDims : dims;
  T s = T(1);
  for (std::uint32_t k = 0; k < count; ++k) {
    const T diff = a[k] - b[k];
    s = s + diff * diff;
  }
  return s;
}

// How many entries ahead the point an entry pairs with is fetched into cache: far
// enough to hide a miss behind the logarithms in between, near enough to stay cached.
inline constexpr std::size_t kPrefetchDistance = 64;
inline constexpr std::size_t kCacheLine = 64;

// Entries are taken in blocks: first every logarithm's argument, then the logarithms
// in a tight run of calls, then the terms added in order. The same operations in the
// same order per entry, but nothing has to live across a call but the block itself.
inline constexpr std::size_t kBlock = 16;

template <typename T, std::uint32_t kDims>
void LossKernelFor(const T* __restrict y, std::int32_t n, std::uint32_t d,
                   const double* __restrict row_indices, const double* __restrict column_counts,
                   const T* __restrict values, T z, T* __restrict result) {
  const std::uint32_t dims = kDims > 0 ? kDims : d;
  std::size_t entries = 0;
  for (std::int32_t i = 0; i < n; ++i) entries += static_cast<std::int64_t>(column_counts[i]);
  const std::size_t prefetch_end = entries > kPrefetchDistance ? entries - kPrefetchDistance : 0;
  // Row indices are whole numbers from 1: converting first and subtracting 1 as an
  // integer finds the same point and folds into the address arithmetic. (A signed
  // conversion is a single instruction; an unsigned one is not.)
  auto point_of = [&](std::size_t entry) {
    return y + (static_cast<std::size_t>(static_cast<std::int64_t>(row_indices[entry])) - 1) * dims;
  };
  // A point may straddle two cache lines unless its size is a power of two that divides
  // the line and Y starts on a multiple of it; then its last coordinate is fetched too.
  // (Otherwise the second fetch names a line already on its way: an instruction wasted.)
  const std::size_t point_bytes = sizeof(T) * dims;
  const bool may_straddle = dims > 1 && ((point_bytes & (point_bytes - 1)) != 0 || point_bytes > kCacheLine ||
                                         reinterpret_cast<std::uintptr_t>(y) % point_bytes != 0);

  T logs[kBlock];
  T sum = *result;
  std::size_t entry = 0;
  const T* y_i = y;
  for (std::int32_t i = 0; i < n; ++i, y_i += dims) {
    const std::size_t end = entry + static_cast<std::int64_t>(column_counts[i]);
    while (entry < end) {
      const std::size_t block = std::min(kBlock, end - entry);
      const T* p = values + entry;
      for (std::size_t k = 0; k < block; ++k) {
        if (entry + k < prefetch_end) {
          const T* ahead = point_of(entry + k + kPrefetchDistance);
          __builtin_prefetch(ahead);
          if (may_straddle) __builtin_prefetch(ahead + (dims - 1));
        }
        const T s = OnePlusSquaredDistance<T, kDims>(y_i, point_of(entry + k), dims);
        logs[k] = (p[k] * s) * z;
      }
      for (std::size_t k = 0; k < block; ++k) logs[k] = Log(logs[k]);
      for (std::size_t k = 0; k < block; ++k) {
        // 0 ln 0 is 0: a stored zero adds nothing, as if it were not stored.
        if (p[k] != T(0)) sum = logs[k] * p[k] + sum;
      }
      entry += block;
    }
  }
  *result = sum;
}

}  // namespace detail

// Adds the loss to *result. Preconditions (the gateway checks them): every column
// count is a whole number from 0 up and they add up to less than 2^31; row indices
// and values hold that many elements; each row index is a whole number from 1 to n;
// y holds d * n elements, at most 2^32.
template <typename T>
void LossKernel(const T* y, std::int32_t n, std::uint32_t d, const double* row_indices,
                const double* column_counts, const T* values, T z, T* result) {
  switch (d) {
    case 2: return detail::LossKernelFor<T, 2>(y, n, d, row_indices, column_counts, values, z, result);
    case 3: return detail::LossKernelFor<T, 3>(y, n, d, row_indices, column_counts, values, z, result);
    default: return detail::LossKernelFor<T, 0>(y, n, d, row_indices, column_counts, values, z, result);
  }
}

}  // namespace quarn::tsnevek
