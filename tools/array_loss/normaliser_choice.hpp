// Z when the caller gives none: the one place that picks the method that computes it.
#pragma once

#include <string>

#include "embedding_file.hpp"

namespace tsneloss {

enum class NormaliserMethod { kExact };

// "exact". Throws InputError naming "method" for any other name.
NormaliserMethod ParseNormaliserMethod(const std::string& name);

// Z of the embedding by `method`, in double; not checked (it can overflow).
double ComputeNormaliser(const Embedding& y, NormaliserMethod method);

}  // namespace tsneloss
