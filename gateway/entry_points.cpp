// The module's two exports, the only symbols it shows besides its exception types.
#include <cstdint>

#include "errors/raise_host_error.hpp"
#include "errors/tags.hpp"
#include "gateway/loss_gateway.hpp"

#define VEK_EXPORT extern "C" __attribute__((visibility("default")))

// Stores the interface version the module is built for.
VEK_EXPORT void vekfilerequiredapiversion(std::uint32_t* major, std::uint32_t* minor) {
  *major = 131466;     // 0x2018A
  *minor = 134217728;  // 0x08000000
}

// One call of the module: loss = f(Y, row indices, column counts, values, Z).
// The host always gives room for one output, even when none is requested.
VEK_EXPORT void vekFunction(int nlhs, vqArray_tag** plhs, int nrhs, const vqArray_tag** prhs) {
  using namespace quarn::tsnevek;
  // Order matters: too few inputs wins over too many outputs, and Y's class is looked
  // at only once both counts are good.
  if (nrhs < 5) raise_host_error(TooFewInputsLoss());
  if (nlhs > 1) raise_host_error(TooManyOutputs());
  // The stored code, unresolved: codes above 16 are never double or single anyway.
  switch (prhs[0]->stored_class_id()) {
    case vqDOUBLE_CLASS:
      return LossGateway<double>(nlhs, plhs, nrhs, prhs);
    case vqSINGLE_CLASS:
      return LossGateway<float>(nlhs, plhs, nrhs, prhs);
    default:
      raise_host_error(BadInputType());
  }
}
