#include "core/normaliser_choice.hpp"

#include "core/input_error.hpp"
#include "core/text.hpp"

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
