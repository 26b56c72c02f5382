// The normaliser Z when the user gives none, as tsneloss reports it on stderr.
#pragma once

#include "core/z_choice.hpp"
#include "formats/embedding_file.hpp"

namespace tsneloss {

// Computes Z by `method` and notes on stderr what was computed, with a progress bar
// on a terminal. Throws what normaliser::ComputeZ throws.
normaliser::ChosenZ ComputeZShowingProgress(const Embedding& y, normaliser::ZMethod method, unsigned threads);

}  // namespace tsneloss
