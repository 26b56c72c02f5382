// A module that breaks one rule of the host each, chosen by a compile definition:
// the wrong interface version, a missing export, or outputs stored before an error.
#include <algorithm>
#include <cstdint>

#include "errors/raise_host_error.hpp"
#include "errors/tags.hpp"
#include "vq/array_api.hpp"

#define TEST_EXPORT extern "C" __attribute__((visibility("default")))

#ifndef MODULE_NO_VERSION
TEST_EXPORT void vekfilerequiredapiversion(std::uint32_t* major, std::uint32_t* minor) {
  *major = 131466;
#ifdef MODULE_BAD_VERSION
  *minor = 1;
#else
  *minor = 134217728;
#endif
}
#endif

#ifndef MODULE_NO_ENTRY
// Fills every output slot it is given, then raises an error.
TEST_EXPORT void vekFunction(int nlhs, vqArray_tag** plhs, int /*nrhs*/, const vqArray_tag** /*prhs*/) {
  for (int k = 0; k < std::max(nlhs, 1); ++k) {
    plhs[k] = matrix::detail::noninlined::vq_array_api::vqCreateNumericMatrix(2, 2, vqDOUBLE_CLASS,
                                                                              vqREAL);
  }
  quarn::tsnevek::raise_host_error(quarn::tsnevek::TooManyOutputs());
}
#endif
