// The host operations the module relies on, gathered in one place. Everything else
// the module knows of the host comes through here.
//
//   vqGetN                 number of columns of an array (unsigned 64-bit)
//   get_dimensions         the extents (unsigned 64-bit); element 0 is the number of rows
//   vqGetData              the real data, read as the element type of the array's class
//   vqGetScalar            the first element of a numeric, logical or char array, as double
//   vqCreateNumericMatrix  a new zero-filled array; the module hands it to the host as output
//   do_legacy_vq_error     raises an error in the host (used by raise_host_error only)
#pragma once

#include "vq/array.hpp"
#include "vq/array_api.hpp"

namespace quarn::tsnevek::host {

using matrix::detail::noninlined::vq_array_api::vqCreateNumericMatrix;
using matrix::detail::noninlined::vq_array_api::vqGetClassID;
using matrix::detail::noninlined::vq_array_api::vqGetData;
using matrix::detail::noninlined::vq_array_api::vqGetN;
using matrix::detail::noninlined::vq_array_api::vqGetNumberOfElements;
using matrix::detail::noninlined::vq_array_api::vqGetScalar;

}  // namespace quarn::tsnevek::host
