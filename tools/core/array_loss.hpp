// The loss of arrays held in memory, as the Python package asks for it: the rules,
// the messages, the module call and so the numbers of tsneloss on files holding the
// same values.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/sparse_columns.hpp"

namespace tsneloss {

struct ArrayLossOptions {
  std::optional<double> z;  // none: computed as tsneloss does by default (--z-method auto)
  bool single = false;
  bool per_point = false;
  std::string module_path;
};

struct ArrayLoss {
  double loss = 0;
  double z = 0;                // given or computed
  std::vector<double> shares;  // one per point, with per_point only
};

// Y is a row-major N-by-D buffer, named "Y" in messages; `pack_p` reads P (PackColumns
// or PackDense) once Y has passed. Checks in the tool's order: Z, Y, P, their sizes.
// Throws InputError for a refused input, matrix::loader::LoadError or ModuleError
// from the module.
ArrayLoss ComputeArrayLoss(std::span<const double> y_rows, std::uint64_t n, std::uint64_t d,
                           const std::function<SparseColumns()>& pack_p, const ArrayLossOptions& options);

// Z of the embedding by the named method ("exact", "approx" or "auto"). Throws InputError for an unknown
// method, an embedding that is refused, or a Z that is not finite and above 0.
double ArrayNormaliser(std::span<const double> y_rows, std::uint64_t n, std::uint64_t d, const std::string& method);

}  // namespace tsneloss
