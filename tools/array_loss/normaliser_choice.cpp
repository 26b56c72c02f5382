#include "normaliser_choice.hpp"

#include "exact_normaliser.hpp"
#include "input_error.hpp"
#include "shown_token.hpp"

namespace tsneloss {

NormaliserMethod ParseNormaliserMethod(const std::string& name) {
  if (name == "exact") return NormaliserMethod::kExact;
  throw InputError("method", "unknown method " + Shown(name) + "; the methods are 'exact'");
}

double ComputeNormaliser(const Embedding& y, NormaliserMethod /*method*/) {
  return ExactNormaliser(y, /*show_progress=*/false);
}

}  // namespace tsneloss
