// Loads the module through the host's loader, as the host would, and shows a loss in
// double and single and an error as the host reports it.
#include <cstdio>
#include <cstring>
#include <vector>

#include "loader/module.hpp"
#include "support/text.hpp"
#include "vq/array_api.hpp"

namespace {

namespace api = matrix::detail::noninlined::vq_array_api;

template <typename T>
matrix::ArrayPtr Matrix(std::uint64_t m, std::uint64_t n, vqClassID class_id, const std::vector<T>& values) {
  matrix::ArrayPtr array(api::vqCreateNumericMatrix(m, n, class_id, vqREAL));
  std::memcpy(api::vqGetData(array.get()), values.data(), values.size() * sizeof(T));
  return array;
}

// Two points (0, 0) and (3, 4), each the other's neighbour with p = 0.5, Z = 1.
template <typename T>
std::vector<matrix::ArrayPtr> TwoPoints(vqClassID class_id) {
  std::vector<matrix::ArrayPtr> inputs;
  inputs.push_back(Matrix<T>(2, 2, class_id, {0, 0, 3, 4}));
  inputs.push_back(Matrix<double>(1, 2, vqDOUBLE_CLASS, {2, 1}));
  inputs.push_back(Matrix<double>(1, 2, vqDOUBLE_CLASS, {1, 1}));
  inputs.push_back(Matrix<T>(1, 2, class_id, {T(0.5), T(0.5)}));
  inputs.push_back(Matrix<double>(1, 1, vqDOUBLE_CLASS, {1.0}));
  return inputs;
}

std::vector<const vqArray_tag*> Handles(const std::vector<matrix::ArrayPtr>& arrays) {
  std::vector<const vqArray_tag*> handles;
  for (const auto& array : arrays) handles.push_back(array.get());
  return handles;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s MODULE\n", argv[0]);
    return 2;
  }
  try {
    const auto module = matrix::loader::Module::Open(argv[1]);
    std::printf("Two points (0,0) and (3,4), p = 0.5 each way, Z = 1; the loss is ln 13.\n");
    const auto in_double = module.Call(1, Handles(TwoPoints<double>(vqDOUBLE_CLASS)));
    double loss_double;
    std::memcpy(&loss_double, api::vqGetData(in_double[0].get()), sizeof loss_double);
    std::printf("double: %s\n", tsneloss::support::FormatNumber(loss_double).c_str());
    const auto in_single = module.Call(1, Handles(TwoPoints<float>(vqSINGLE_CLASS)));
    float loss_single;
    std::memcpy(&loss_single, api::vqGetData(in_single[0].get()), sizeof loss_single);
    std::printf("single: %s\n", tsneloss::support::FormatNumber(loss_single, 9).c_str());
    auto four = TwoPoints<double>(vqDOUBLE_CLASS);
    four.pop_back();
    try {
      module.Call(1, Handles(four));
    } catch (const matrix::loader::ModuleError& error) {
      std::printf("With four inputs the host reports:\n  %s\n", error.what());
    }
  } catch (const std::exception& error) {
    std::fprintf(stderr, "%s\n", error.what());
    return 1;
  }
  return 0;
}
