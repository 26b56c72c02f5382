// The built module, opened once through the host's loader, and calls of it.
#pragma once

#include <vector>

#include "host_arrays.hpp"
#include "loader/module.hpp"
#include "random_problem.hpp"

namespace tsne_test {

inline const matrix::loader::Module& LossModule() {
  static const matrix::loader::Module module = matrix::loader::Module::Open(TSNE_MODULE_PATH);
  return module;
}

// The five inputs of a problem as host arrays, Y d-by-n.
struct Inputs {
  std::vector<matrix::ArrayPtr> owned;
  std::vector<const vqArray_tag*> handles() const {
    std::vector<const vqArray_tag*> all;
    for (const auto& array : owned) all.push_back(array.get());
    return all;
  }
};

template <typename T>
Inputs InputsOf(const Problem<T>& problem) {
  Inputs inputs;
  inputs.owned.push_back(MakeArray<T>(problem.d, problem.n, problem.y));
  inputs.owned.push_back(MakeRow<double>(problem.row_indices));
  inputs.owned.push_back(MakeRow<double>(problem.column_counts));
  inputs.owned.push_back(MakeRow<T>(problem.values));
  inputs.owned.push_back(MakeScalar(static_cast<double>(problem.z)));
  return inputs;
}

// The loss as the module returns it through the loader.
template <typename T>
T ModuleLoss(const Problem<T>& problem) {
  const auto outputs = LossModule().Call(1, InputsOf(problem).handles());
  return First<T>(outputs.at(0).get());
}

}  // namespace tsne_test
