#include "module_loss.hpp"

#include <cstring>
#include <type_traits>

namespace tsneloss {
namespace {

namespace api = matrix::detail::noninlined::vq_array_api;

template <typename T>
matrix::ArrayPtr HostArray(std::uint64_t m, std::uint64_t n, const std::vector<double>& values) {
  constexpr vqClassID class_id = std::is_same_v<T, double> ? vqDOUBLE_CLASS : vqSINGLE_CLASS;
  matrix::ArrayPtr array(api::vqCreateNumericMatrix(m, n, class_id, vqREAL));
  auto* data = static_cast<T*>(api::vqGetData(array.get()));
  for (std::size_t k = 0; k < values.size(); ++k) data[k] = static_cast<T>(values[k]);
  return array;
}

template <typename T>
double LossIn(const matrix::loader::Module& module, const Embedding& y, const SparseColumns& p, double z) {
  std::vector<matrix::ArrayPtr> inputs;
  // Point after point is exactly Y as D rows by N columns.
  inputs.push_back(HostArray<T>(y.d, y.n, y.coordinates));
  inputs.push_back(HostArray<double>(1, p.row_indices.size(), p.row_indices));
  inputs.push_back(HostArray<double>(1, p.column_counts.size(), p.column_counts));
  inputs.push_back(HostArray<T>(1, p.values.size(), p.values));
  inputs.push_back(HostArray<double>(1, 1, {z}));
  std::vector<const vqArray_tag*> handles;
  for (const auto& input : inputs) handles.push_back(input.get());
  const auto outputs = module.Call(1, handles);
  T loss;
  std::memcpy(&loss, api::vqGetData(outputs.at(0).get()), sizeof loss);
  return static_cast<double>(loss);
}

}  // namespace

double ModuleLoss(const matrix::loader::Module& module, const Embedding& y, const SparseColumns& p, double z,
                  bool single) {
  return single ? LossIn<float>(module, y, p, z) : LossIn<double>(module, y, p, z);
}

}  // namespace tsneloss
