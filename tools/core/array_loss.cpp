#include "core/array_loss.hpp"

#include <chrono>
#include <cmath>
#include <utility>

#include "core/input_error.hpp"
#include "core/input_rules.hpp"
#include "core/module_call.hpp"
#include "core/per_point_shares.hpp"
#include "core/z_choice.hpp"
#include "support/text.hpp"

namespace tsneloss::core {
namespace {

constexpr const char* kEmbeddingName = "Y";
// How often a long computation asks whether to stop: often enough for Ctrl-C to feel
// immediate, seldom enough that taking the interpreter's lock costs nothing.
constexpr std::chrono::milliseconds kCheckInterval{100};

// The exact Z's progress, which arrives on the calling thread, turned into checks.
std::function<void(double)> ProgressChecks(const std::function<void()>& interrupt_check) {
  if (!interrupt_check) return {};
  return [&interrupt_check, last = std::chrono::steady_clock::now()](double) mutable {
    const auto now = std::chrono::steady_clock::now();
    if (now - last < kCheckInterval) return;
    last = now;
    interrupt_check();
  };
}

// "exact", "approx" or "auto"; InputError naming "method" for any other name.
ZMethod ParseNormaliserMethod(const std::string& name) {
  const auto method = ParseZMethod(name);
  if (!method) throw InputError("method", "unknown method " + support::Shown(name) + "; the methods are 'exact', 'approx' and 'auto'");
  return *method;
}

// A Z that overflowed (or vanished) cannot serve as a normaliser: refused, as by tsneloss.
double CheckedNormaliser(const HostEmbedding& y, ZMethod method,
                         const std::function<void()>& interrupt_check, unsigned threads) {
  const ChosenZ chosen =
      ComputeZ(y.coordinates(), y.n, y.d, method, ProgressChecks(interrupt_check), threads);
  const std::string fault = ComputedNormaliserFault(chosen.z, chosen.approximate, "z");
  if (!fault.empty()) throw InputError(kEmbeddingName, fault);
  return chosen.z;
}

}  // namespace

ArrayLoss ComputeArrayLoss(const EmbeddingPacker& pack_y, const AffinitiesPacker& pack_p,
                           const ArrayLossOptions& options) {
  if (options.z) {
    const std::string fault = NormaliserFault(*options.z);
    if (!fault.empty()) throw InputError("z", fault);
  }
  const HostEmbedding y = pack_y(!options.z);
  const HostAffinities p = pack_p();
  CheckSizesAgree(p.n, "P", y.n, y.d, kEmbeddingName);

  ArrayLoss result;
  result.nnz = p.nnz;
  result.merged_positions = p.merged_positions;
  result.sum_p = SumOfValues(p);
  result.z = options.z ? *options.z : CheckedNormaliser(y, ZMethod::kAuto, options.interrupt_check, options.threads);
  const matrix::loader::Module& module = CachedModule(options.module_path);
  result.loss_double = ModuleLoss(module, y.points.get(), p, result.z);
  result.loss = result.loss_double;
  if (options.single) {
    const matrix::ArrayPtr single_points = HostPoints<float>(y.coordinates(), y.n, y.d);
    result.loss = ModuleLoss(module, single_points.get(), p, result.z);
  }
  CheckLosses(result.loss_double, result.loss, options.single, kEmbeddingName);
  result.notes = NotesOnP(p.merged_positions, result.sum_p);
  if (options.single) {
    if (auto note = NoteOnSinglePrecision(result.loss, result.loss_double)) result.notes.push_back(std::move(*note));
  }
  if (options.per_point) {
    const Embedding points{y.n, y.d, std::vector<double>(y.coordinates(), y.coordinates() + y.n * y.d)};
    result.shares = PerPointShares(points, ArrayData(p.column_counts), ArrayData(p.row_indices), ArrayData(p.values),
                                   result.z, options.single);
  }
  return result;
}

double ArrayNormaliser(const EmbeddingPacker& pack_y, const std::string& method,
                       const std::function<void()>& interrupt_check, unsigned threads) {
  const ZMethod chosen = ParseNormaliserMethod(method);
  return CheckedNormaliser(pack_y(/*z_computed=*/true), chosen, interrupt_check, threads);
}

}  // namespace tsneloss::core
