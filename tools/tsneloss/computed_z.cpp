#include "computed_z.hpp"

#include <unistd.h>

#include <cstdio>
#include <stdexcept>

#include "approximate_normaliser.hpp"
#include "exact_normaliser.hpp"
#include "progress_bar.hpp"

namespace tsneloss {
namespace {

ComputedZ Exact(const Embedding& y) {
  normaliser::ProgressBar bar(isatty(STDERR_FILENO) == 1);
  normaliser::ExactSettings settings;
  settings.progress = [&bar](double fraction) { bar.Update(fraction); };
  ComputedZ computed;
  computed.z = normaliser::ExactNormaliser(y.coordinates.data(), y.n, y.d, settings);
  return computed;
}

ComputedZ Approximate(const Embedding& y) {
  const normaliser::ApproximateZ approximate = normaliser::ApproximateNormaliser(y.coordinates.data(), y.n, y.d);
  return {approximate.z, true, approximate.relative_error};
}

}  // namespace

ComputedZ ComputeZ(const Embedding& y, const std::string& method) {
  ComputedZ computed;
  if (method == "exact" || (method == "auto" && (y.n <= kAutoExactLimit || y.d > 3))) {
    computed = Exact(y);
  } else if (method == "approx") {
    computed = Approximate(y);
  } else {
    try {
      computed = Approximate(y);
    } catch (const std::runtime_error& error) {
      std::fprintf(stderr, "tsneloss: %s; computing the exact Z instead\n", error.what());
      computed = Exact(y);
    }
  }
  if (computed.approximate) {
    std::fprintf(stderr, "tsneloss: no --z given; computed the approximate Z = %.17g (estimated relative error %.1e)\n",
                 computed.z, computed.relative_error);
    if (!(computed.relative_error <= 1e-6)) {
      std::fprintf(stderr, "tsneloss: warning: the approximate Z may be off by more than 1e-6; --z-method exact gives the exact one\n");
    }
  } else {
    std::fprintf(stderr, "tsneloss: no --z given; computed the exact Z = %.17g\n", computed.z);
  }
  return computed;
}

}  // namespace tsneloss
