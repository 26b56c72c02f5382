// The typed half of the entry point: unpacks the five inputs for element type T,
// creates the 1-by-1 result, hands it to the host and runs the kernel into it.
#pragma once

#include <cstdint>

#include "gateway/contract_checks.hpp"
#include "gateway/host_operations.hpp"
#include "kernel/loss_kernel.hpp"

namespace quarn::tsnevek {

// Y is input 1 and of T's class (the entry point dispatched on it). Raises a contract
// error before any output is written, else stores the result in output slot 1.
template <typename T>
void LossGateway(int /*nlhs*/, vqArray_tag** plhs, int /*nrhs*/, const vqArray_tag** prhs) {
  const vqArray_tag* embedding = prhs[0];
  detail::CheckContract(prhs);

  const T* y = static_cast<const T*>(host::vqGetData(embedding));
  // Sizes are carried in 32 bits from here on; the checks above made that lossless.
  const auto n = static_cast<std::int32_t>(host::vqGetN(embedding));
  const auto d = static_cast<std::uint32_t>(embedding->get_dimensions()[0]);
  const double* row_indices = static_cast<const double*>(host::vqGetData(prhs[1]));
  const double* column_counts = static_cast<const double*>(host::vqGetData(prhs[2]));
  const T* values = static_cast<const T*>(host::vqGetData(prhs[3]));
  const T z = static_cast<T>(host::vqGetScalar(prhs[4]));

  // Stored before any arithmetic: from here on the host owns the result.
  vqArray_tag* result = host::vqCreateNumericMatrix(1, 1, host::ClassOf(embedding), vqREAL);
  plhs[0] = result;
  LossKernel<T>(y, n, d, row_indices, column_counts, values, z,
                static_cast<T*>(host::vqGetData(result)));
}

}  // namespace quarn::tsnevek
