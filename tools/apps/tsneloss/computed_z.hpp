// The normaliser Z when the user gives none, as tsneloss reports it on stderr.
#pragma once

#include "core/z_choice.hpp"
#include "formats/embedding_file.hpp"

namespace tsneloss::apps {

// Computes Z by `method` and notes on stderr what was computed, with a progress bar
// on a terminal. Throws what normaliser::ComputeZ throws.
core::ChosenZ ComputeZShowingProgress(const core::Embedding& y, core::ZMethod method, unsigned threads);

}  // namespace tsneloss::apps
