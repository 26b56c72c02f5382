// Z when the caller gives none, for arrays in memory: the method's name as the package
// takes it, and the normaliser library's choice of method.
#pragma once

#include <string>

#include "core/embedding.hpp"
#include "core/z_choice.hpp"

namespace tsneloss {

// "exact", "approx" or "auto". Throws InputError naming "method" for any other name.
normaliser::ZMethod ParseNormaliserMethod(const std::string& name);

// Z of the embedding by `method`, in double; not checked (it can overflow).
normaliser::ChosenZ ComputeNormaliser(const Embedding& y, normaliser::ZMethod method);

}  // namespace tsneloss
