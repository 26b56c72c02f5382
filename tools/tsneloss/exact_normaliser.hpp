// The exact normaliser of the output affinities, Z = sum over ordered pairs i != j of
// 1 / (1 + |y_i - y_j|^2), in double. Quadratic in N.
#pragma once

#include "embedding_file.hpp"

namespace tsneloss {

// With `show_progress`, a bar on stderr once the sum has run for about a second.
double ExactNormaliser(const Embedding& embedding, bool show_progress);

}  // namespace tsneloss
