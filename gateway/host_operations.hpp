// The host operations the module relies on, gathered in one place: the array library's
// functions by name, and the array's own accessors (its stored class, `class_id`,
// `get_dimensions`, `complexity`), which the module calls on the array directly.
//
// Operations the host lists for modules:
//   class of an array      stored in the array up to 16, resolved by the host above that
//   get_dimensions         the extents (unsigned 64-bit); element 0 is the number of rows
//   vqGetN                 number of columns (unsigned 64-bit)
//   vqGetData              the real data, read as the element type of the array's class
//   vqGetScalar            the first element of a numeric, logical or char array, as double
//   vqCreateNumericMatrix  a new zero-filled array; the module hands it to the host as output
//   do_legacy_vq_error     raises an error in the host (used by raise_host_error only)
//
// One addition, because no listed operation tells a complex array from a real one:
//   complexity             whether the array holds an imaginary part (vqCOMPLEX) or not;
//                          the module refuses complex inputs rather than read their
//                          real parts as if they were the whole values
#pragma once

#include <cstdint>

#include "vq/array.hpp"
#include "vq/array_api.hpp"

namespace quarn::tsnevek::host {

using matrix::detail::noninlined::vq_array_api::vqCreateNumericMatrix;
using matrix::detail::noninlined::vq_array_api::vqGetData;
using matrix::detail::noninlined::vq_array_api::vqGetN;
using matrix::detail::noninlined::vq_array_api::vqGetScalar;

// The class of an array, resolving stored codes above 16 through the host.
inline vqClassID ClassOf(const vqArray_tag* array) { return array->class_id(); }

// The number of elements: the product of the extents, saturating at 2^64 - 1 so that an
// absurd shape reads as "more than enough" instead of wrapping to a small count.
inline std::uint64_t ElementCount(const vqArray_tag* array) {
  std::uint64_t count = 1;
  for (const std::uint64_t extent : array->get_dimensions()) {
    if (extent == 0) return 0;
    if (__builtin_mul_overflow(count, extent, &count)) count = UINT64_MAX;
  }
  return count;
}

inline bool IsComplex(const vqArray_tag* array) { return array->complexity() != vqREAL; }

}  // namespace quarn::tsnevek::host
