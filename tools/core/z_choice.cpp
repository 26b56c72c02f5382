#include "core/z_choice.hpp"

#include <stdexcept>

#include "normaliser/approximate_normaliser.hpp"
#include "normaliser/exact_normaliser.hpp"

namespace tsneloss::core {
namespace {

ChosenZ Exact(const double* y, std::size_t n, std::size_t d, const std::function<void(double)>& progress,
              unsigned threads) {
  normaliser::ExactSettings settings;
  settings.progress = progress;
  settings.threads = threads;
  ChosenZ chosen;
  chosen.z = normaliser::ExactNormaliser(y, n, d, settings);
  return chosen;
}

ChosenZ Approximate(const double* y, std::size_t n, std::size_t d, unsigned threads) {
  normaliser::ApproximateSettings settings;
  settings.threads = threads;
  const normaliser::ApproximateZ approximate = normaliser::ApproximateNormaliser(y, n, d, settings);
  ChosenZ chosen;
  chosen.z = approximate.z;
  chosen.approximate = true;
  chosen.relative_error = approximate.relative_error;
  return chosen;
}

}  // namespace

std::optional<ZMethod> ParseZMethod(std::string_view name) {
  if (name == "exact") return ZMethod::kExact;
  if (name == "approx") return ZMethod::kApproximate;
  if (name == "auto") return ZMethod::kAuto;
  return std::nullopt;
}

bool AutoTakesExact(std::size_t n, std::size_t d) { return n <= kAutoExactZLimit || d > 3; }

ChosenZ ComputeZ(const double* y, std::size_t n, std::size_t d, ZMethod method,
                 const std::function<void(double)>& progress, unsigned threads) {
  switch (method) {
    case ZMethod::kExact:
      return Exact(y, n, d, progress, threads);
    case ZMethod::kApproximate:
      return Approximate(y, n, d, threads);
    case ZMethod::kAuto:
      break;
  }
  if (AutoTakesExact(n, d)) return Exact(y, n, d, progress, threads);
  try {
    return Approximate(y, n, d, threads);
  } catch (const normaliser::MapRefused& error) {
    ChosenZ chosen = Exact(y, n, d, progress, threads);
    chosen.fallback = error.what();
    return chosen;
  }
}

}  // namespace tsneloss::core
