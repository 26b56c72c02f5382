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
// reassociation (-ffp-contract=off, no fast-math) or the bits change. (A result that
// is not a number may carry another NaN's payload or sign: the compiler is free to
// swap the operands of an addition or a product.)
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

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

// Whether a point of Y may straddle two cache lines, so that its last coordinate is
// fetched too. It cannot when its size is a power of two that divides the line and Y
// starts on a multiple of it. (Else the second fetch names a line already on its way:
// an instruction wasted.)
template <typename T>
bool MayStraddle(const T* y, std::uint32_t dims) {
  const std::size_t point_bytes = sizeof(T) * dims;
  return dims > 1 && ((point_bytes & (point_bytes - 1)) != 0 || point_bytes > kCacheLine ||
                      reinterpret_cast<std::uintptr_t>(y) % point_bytes != 0);
}

// The point a stored entry pairs with. Row indices are whole numbers from 1: counting
// from the address one point before Y takes the -1 out of every lookup. That address
// is kept as an integer, since a pointer before the start of Y would be undefined.
// (A signed conversion is a single instruction; an unsigned one is not.)
template <typename T>
struct PointOfEntry {
  const double* row_indices;
  std::uintptr_t before_y;
  std::size_t point_bytes;
  static PointOfEntry Over(const T* y, std::uint32_t dims, const double* row_indices) {
    return {row_indices, reinterpret_cast<std::uintptr_t>(y) - sizeof(T) * dims, sizeof(T) * dims};
  }
  const T* operator()(std::size_t entry) const {
    return reinterpret_cast<const T*>(
        before_y + static_cast<std::size_t>(static_cast<std::int64_t>(row_indices[entry])) * point_bytes);
  }
};

#if defined(__x86_64__)
// Arguments for two-dimensional points, several entries of one column per vector:
// SSE2, which every x86-64 processor has. Each lane does the scalar steps in the
// scalar order, so the bits are the same. Both fill `args` for entries from `begin` of
// a column whose point is `y_i` and return the first entry left to the scalar loop.
inline std::size_t Arguments2D(const double* y_i, std::size_t begin, std::size_t end,
                               const PointOfEntry<double>& point_of, const double* values, double z, double* args) {
  const __m128d x_i = _mm_set1_pd(y_i[0]), y_i2 = _mm_set1_pd(y_i[1]);
  const __m128d one = _mm_set1_pd(1.0), zz = _mm_set1_pd(z);
  std::size_t e = begin;
  for (; e + 2 <= end; e += 2) {
    const __m128d a = _mm_loadu_pd(point_of(e));
    const __m128d b = _mm_loadu_pd(point_of(e + 1));
    const __m128d dx = _mm_sub_pd(x_i, _mm_unpacklo_pd(a, b));
    const __m128d dy = _mm_sub_pd(y_i2, _mm_unpackhi_pd(a, b));
    const __m128d s = _mm_add_pd(_mm_add_pd(one, _mm_mul_pd(dx, dx)), _mm_mul_pd(dy, dy));
    _mm_storeu_pd(args + (e - begin), _mm_mul_pd(_mm_mul_pd(_mm_loadu_pd(values + e), s), zz));
  }
  return e;
}

inline std::size_t Arguments2D(const float* y_i, std::size_t begin, std::size_t end,
                               const PointOfEntry<float>& point_of, const float* values, float z, float* args) {
  const __m128 x_i = _mm_set1_ps(y_i[0]), y_i2 = _mm_set1_ps(y_i[1]);
  const __m128 one = _mm_set1_ps(1.0f), zz = _mm_set1_ps(z);
  auto point = [&](std::size_t entry) {  // (x, y, 0, 0)
    return _mm_castsi128_ps(_mm_loadl_epi64(reinterpret_cast<const __m128i_u*>(point_of(entry))));
  };
  std::size_t e = begin;
  for (; e + 4 <= end; e += 4) {
    const __m128 ab = _mm_unpacklo_ps(point(e), point(e + 1));      // x0 x1 y0 y1
    const __m128 cd = _mm_unpacklo_ps(point(e + 2), point(e + 3));  // x2 x3 y2 y3
    const __m128 dx = _mm_sub_ps(x_i, _mm_movelh_ps(ab, cd));
    const __m128 dy = _mm_sub_ps(y_i2, _mm_movehl_ps(cd, ab));
    const __m128 s = _mm_add_ps(_mm_add_ps(one, _mm_mul_ps(dx, dx)), _mm_mul_ps(dy, dy));
    _mm_storeu_ps(args + (e - begin), _mm_mul_ps(_mm_mul_ps(_mm_loadu_ps(values + e), s), zz));
  }
  return e;
}
#endif

// Entries are taken in blocks: first every logarithm's argument, then the logarithms
// in a tight run of calls, then the terms added in order. The same operations in the
// same order per entry, but nothing has to live across a call but the block and what
// finds the points ahead. A block runs on across column ends, so short columns cost no
// extra rounds of calls.
inline constexpr std::size_t kBlock = 16;

// Columns `first` to `end` - 1; `row_indices` and `values` start at column first's
// entries, `column_counts` and `y` at column 0.
template <typename T, std::uint32_t kDims>
void LossKernelFor(const T* __restrict y, std::int32_t first, std::int32_t end, std::uint32_t d,
                   const double* __restrict row_indices, const double* __restrict column_counts,
                   const T* __restrict values, T z, T* __restrict result) {
  const std::uint32_t dims = kDims > 0 ? kDims : d;
  std::size_t entries = 0;
  for (std::int32_t i = first; i < end; ++i) entries += static_cast<std::int64_t>(column_counts[i]);
  const std::size_t prefetch_end = entries > kPrefetchDistance ? entries - kPrefetchDistance : 0;
  const auto point_of = PointOfEntry<T>::Over(y, dims, row_indices);
  const bool may_straddle = MayStraddle(y, dims);
  T logs[kBlock];
  T sum = *result;
  const T* y_i = y;  // the point of the column that holds `e` below
  std::size_t column_end = 0;
  std::int32_t next_column = first;
  for (std::size_t entry = 0; entry < entries;) {
    const std::size_t block_end = entry + std::min(kBlock, entries - entry);
    // Near the end nothing lies a distance ahead: a block that would fetch past the last
    // entry fetches its own points instead (already read: one wasted instruction each),
    // so up to a block's worth of entries before it go without a fetch ahead.
    const std::size_t lead = block_end <= prefetch_end ? kPrefetchDistance : 0;
    for (std::size_t e = entry; e < block_end;) {
      while (e == column_end) {  // empty columns are passed over
        y_i = y + static_cast<std::size_t>(next_column) * dims;
        column_end += static_cast<std::int64_t>(column_counts[next_column++]);
      }
      const std::size_t run_end = std::min(column_end, block_end);
#if defined(__x86_64__)
      if constexpr (kDims == 2) {
        e = Arguments2D(y_i, e, run_end, point_of, values, z, logs + (e - entry));
      }
#endif
      for (; e < run_end; ++e) {
        logs[e - entry] = (values[e] * OnePlusSquaredDistance<T, kDims>(y_i, point_of(e), dims)) * z;
      }
    }
    const std::size_t block = block_end - entry;
    for (std::size_t k = 0; k < block; ++k) {
      // Points are fetched between the calls, one per call: spread out like this they
      // keep memory busy while the logarithms run, where a burst of them waits on a
      // full queue of misses and holds up everything behind it. (Written out here, not
      // in a helper: GCC drops calls to a function that only prefetches.)
      const T* ahead = point_of(entry + k + lead);
      __builtin_prefetch(ahead);
      if (may_straddle) __builtin_prefetch(ahead + (dims - 1));
      logs[k] = Log(logs[k]);
    }
    const T* p = values + entry;
    for (std::size_t k = 0; k < block; ++k) {
      // 0 ln 0 is 0: a stored zero adds nothing, as if it were not stored.
      if (p[k] != T(0)) sum = logs[k] * p[k] + sum;
    }
    entry = block_end;
  }
  *result = sum;
}

}  // namespace detail

// Adds the loss over columns `first` to `end` - 1 alone to *result, entry by entry in
// the same steps as LossKernel: run on one column from a sum of 0, it gives that
// column's share of the loss. `row_indices` and `values` start at column first's
// entries; `y` and `column_counts` are whole. Preconditions as for LossKernel.
template <typename T>
void LossOverColumns(const T* y, std::int32_t first, std::int32_t end, std::uint32_t d, const double* row_indices,
                     const double* column_counts, const T* values, T z, T* result) {
  switch (d) {
    case 2: return detail::LossKernelFor<T, 2>(y, first, end, d, row_indices, column_counts, values, z, result);
    case 3: return detail::LossKernelFor<T, 3>(y, first, end, d, row_indices, column_counts, values, z, result);
    default: return detail::LossKernelFor<T, 0>(y, first, end, d, row_indices, column_counts, values, z, result);
  }
}

// Adds the loss to *result. Preconditions (the gateway checks them): every column
// count is a whole number from 0 up and they add up to less than 2^31; row indices
// and values hold that many elements; each row index is a whole number from 1 to n;
// y holds d * n elements, at most 2^32.
template <typename T>
void LossKernel(const T* y, std::int32_t n, std::uint32_t d, const double* row_indices,
                const double* column_counts, const T* values, T z, T* result) {
  LossOverColumns<T>(y, 0, n, d, row_indices, column_counts, values, z, result);
}

}  // namespace quarn::tsnevek
