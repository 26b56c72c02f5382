#include "normaliser_choice.hpp"

#include "input_error.hpp"
#include "shown_token.hpp"

namespace tsneloss {

normaliser::ZMethod ParseNormaliserMethod(const std::string& name) {
  const auto method = normaliser::ParseZMethod(name);
  if (!method) throw InputError("method", "unknown method " + Shown(name) + "; the methods are 'exact', 'approx' and 'auto'");
  return *method;
}

normaliser::ChosenZ ComputeNormaliser(const Embedding& y, normaliser::ZMethod method) {
  return normaliser::ComputeZ(y.coordinates.data(), y.n, y.d, method);
}

}  // namespace tsneloss
