// One call of the module through the host's loader: Y and P copied into host arrays
// of the chosen precision, the loss read back from the 1-by-1 result.
#pragma once

#include "embedding_file.hpp"
#include "loader/module.hpp"
#include "sparse_columns.hpp"

namespace tsneloss {

// The module's loss in double, or with `single` in single precision (widened to
// double, exactly). Throws matrix::loader::ModuleError when the module raises.
double ModuleLoss(const matrix::loader::Module& module, const Embedding& y, const SparseColumns& p, double z,
                  bool single);

}  // namespace tsneloss
