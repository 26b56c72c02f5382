// Coverage-guided fuzzing of the module's entry point. The bytes choose the classes,
// shapes and contents of the five inputs, valid or not. A call must either return
// the reference's bits or raise one of the module's own identifiers; anything else,
// or any read outside an array, is a crash.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "reference_loss.hpp"
#include "vq/array_api.hpp"
#include "vq/legacy_error.hpp"

extern "C" void vekFunction(int nlhs, vqArray_tag** plhs, int nrhs, const vqArray_tag** prhs);

namespace {

namespace api = matrix::detail::noninlined::vq_array_api;

// Usually the class the contract asks for, sometimes another.
vqClassID PickClass(FuzzedDataProvider& bytes, vqClassID wanted) {
  static constexpr vqClassID kOthers[] = {vqDOUBLE_CLASS, vqSINGLE_CLASS, vqINT32_CLASS,
                                          vqUINT8_CLASS, vqCHAR_CLASS, vqLOGICAL_CLASS};
  const auto pick = bytes.ConsumeIntegralInRange<unsigned>(0, 15);
  return pick < 10 ? wanted : kOthers[pick % std::size(kOthers)];
}

// An array of `count` elements filled by `next`, converted to the array's class.
template <typename Next>
matrix::ArrayPtr MakeArray(vqClassID class_id, std::uint64_t rows, std::uint64_t columns, Next next) {
  if (class_id == vqCHAR_CLASS) return matrix::ArrayPtr(api::vqCreateString(std::string(rows * columns, 'x')));
  if (class_id == vqLOGICAL_CLASS) return matrix::ArrayPtr(api::vqCreateLogicalMatrix(rows, columns));
  matrix::ArrayPtr array(api::vqCreateNumericMatrix(rows, columns, class_id, vqREAL));
  for (std::uint64_t k = 0; k < rows * columns; ++k) {
    const double value = next();
    auto* data = static_cast<unsigned char*>(api::vqGetData(array.get()));
    if (class_id == vqDOUBLE_CLASS) std::memcpy(data + 8 * k, &value, 8);
    if (class_id == vqSINGLE_CLASS) {
      const auto single = static_cast<float>(value);
      std::memcpy(data + 4 * k, &single, 4);
    }
  }
  return array;
}

template <typename T>
void CheckAgainstReference(const std::vector<const vqArray_tag*>& in, const vqArray_tag* result) {
  const auto* y = static_cast<const T*>(api::vqGetData(in[0]));
  const T z = static_cast<T>(api::vqGetScalar(in[4]));
  const T expected = tsne_test::ReferenceLoss<T>(
      y, static_cast<std::int32_t>(api::vqGetN(in[0])), static_cast<std::uint32_t>(api::vqGetM(in[0])),
      static_cast<const double*>(api::vqGetData(in[1])), static_cast<const double*>(api::vqGetData(in[2])),
      static_cast<const T*>(api::vqGetData(in[3])), z);
  T actual;
  std::memcpy(&actual, api::vqGetData(result), sizeof actual);
  const bool same = (actual != actual && expected != expected) || std::memcmp(&actual, &expected, sizeof actual) == 0;
  if (!same) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider bytes(data, size);
  const vqClassID y_class = bytes.ConsumeBool() ? vqDOUBLE_CLASS : vqSINGLE_CLASS;
  const auto d = bytes.ConsumeIntegralInRange<std::uint64_t>(0, 5);
  const auto n = bytes.ConsumeIntegralInRange<std::uint64_t>(0, 16);
  // Mostly small whole numbers, sometimes any double at all.
  auto number = [&](double low, double high) {
    return bytes.ConsumeIntegralInRange<unsigned>(0, 7) == 0
               ? bytes.ConsumeFloatingPoint<double>()
               : static_cast<double>(bytes.ConsumeIntegralInRange<std::int64_t>(
                     static_cast<std::int64_t>(low), static_cast<std::int64_t>(high)));
  };
  std::vector<matrix::ArrayPtr> owned;
  owned.push_back(MakeArray(y_class, d, n, [&] { return bytes.ConsumeFloatingPointInRange(-50.0, 50.0); }));
  const vqClassID rows_class = PickClass(bytes, vqDOUBLE_CLASS);
  const vqClassID counts_class = PickClass(bytes, vqDOUBLE_CLASS);
  const vqClassID values_class = PickClass(bytes, y_class);
  const auto counts_length = bytes.ConsumeIntegralInRange<std::uint64_t>(0, n + 1);
  const auto entries = bytes.ConsumeIntegralInRange<std::uint64_t>(0, 48);
  owned.push_back(MakeArray(rows_class, 1, entries, [&] { return number(-1, static_cast<double>(n) + 1); }));
  owned.push_back(MakeArray(counts_class, 1, counts_length, [&] { return number(-1, 6); }));
  owned.push_back(MakeArray(values_class, 1, entries, [&] { return bytes.ConsumeFloatingPointInRange(-0.1, 1.0); }));
  const auto z_length = bytes.ConsumeIntegralInRange<std::uint64_t>(0, 2);
  owned.push_back(MakeArray(PickClass(bytes, vqDOUBLE_CLASS), 1, z_length,
                            [&] { return bytes.ConsumeFloatingPointInRange(0.0, 1e6); }));

  std::vector<const vqArray_tag*> in;
  for (const auto& array : owned) in.push_back(array.get());
  vqArray_tag* slot = nullptr;
  try {
    vekFunction(1, &slot, static_cast<int>(in.size()), in.data());
  } catch (const matrix::HostError& error) {
    if (error.identifier().rfind("quarn:tsnevek:", 0) != 0 || slot != nullptr) std::abort();
    return 0;
  }
  const matrix::ArrayPtr result(slot);
  if (y_class == vqDOUBLE_CLASS) {
    CheckAgainstReference<double>(in, result.get());
  } else {
    CheckAgainstReference<float>(in, result.get());
  }
  return 0;
}
