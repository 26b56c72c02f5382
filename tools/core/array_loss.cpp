#include "core/array_loss.hpp"

#include <cmath>
#include <cstdio>

#include "core/input_error.hpp"
#include "core/input_rules.hpp"
#include "core/module_call.hpp"
#include "core/normaliser_choice.hpp"
#include "core/per_point_shares.hpp"
#include "core/text.hpp"
#include "loader/module.hpp"

namespace tsneloss {
namespace {

constexpr const char* kEmbeddingName = "Y";

Embedding EmbeddingFromRows(std::span<const double> y_rows, std::uint64_t n, std::uint64_t d, bool z_computed) {
  ValidateEmbedding(y_rows, n, d, z_computed, kEmbeddingName);
  return Embedding{n, d, std::vector<double>(y_rows.begin(), y_rows.end())};
}

// A Z that overflowed (or vanished) cannot serve as a normaliser: refused, as by tsneloss.
double CheckedNormaliser(const Embedding& y, normaliser::ZMethod method) {
  const normaliser::ChosenZ chosen = ComputeNormaliser(y, method);
  if (!NormaliserFault(chosen.z).empty()) {
    throw InputError(kEmbeddingName, std::string("the ") + (chosen.approximate ? "approximate" : "exact") +
                                         " Z of this embedding is " + FormatNumber(chosen.z) +
                                         " in double precision (its points are too far apart); give z");
  }
  return chosen.z;
}

}  // namespace

ArrayLoss ComputeArrayLoss(std::span<const double> y_rows, std::uint64_t n, std::uint64_t d,
                           const std::function<SparseColumns()>& pack_p, const ArrayLossOptions& options) {
  if (options.z) {
    const std::string fault = NormaliserFault(*options.z);
    if (!fault.empty()) throw InputError("z", fault);
  }
  const Embedding y = EmbeddingFromRows(y_rows, n, d, !options.z);
  const SparseColumns p = pack_p();
  CheckSizesAgree(p.n, "P", y.n, y.d, kEmbeddingName);

  ArrayLoss result;
  result.z = options.z ? *options.z : CheckedNormaliser(y, normaliser::ZMethod::kAuto);
  const auto module = matrix::loader::Module::Open(options.module_path);
  const HostAffinities host_p = HostAffinitiesOf(p);
  result.loss = options.single ? ModuleLoss<float>(module, y, host_p, result.z)
                               : ModuleLoss<double>(module, y, host_p, result.z);
  if (options.per_point) result.shares = PerPointShares(y, p, result.z, options.single);
  return result;
}

double ArrayNormaliser(std::span<const double> y_rows, std::uint64_t n, std::uint64_t d, const std::string& method) {
  const normaliser::ZMethod chosen = ParseNormaliserMethod(method);
  return CheckedNormaliser(EmbeddingFromRows(y_rows, n, d, /*z_computed=*/true), chosen);
}

}  // namespace tsneloss
