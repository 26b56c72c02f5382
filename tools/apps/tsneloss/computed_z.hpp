// The normaliser Z when the user gives none, as tsneloss reports it on stderr.
#pragma once

#include "core/z_choice.hpp"
#include "formats/embedding_file.hpp"

namespace tsneloss::apps {

// Computes Z by `method`, with a progress bar on a terminal; warns on stderr of an
// approximate Z that may be off, and with `verbose` notes what was computed. Throws
// what normaliser::ComputeZ throws.
core::ChosenZ ComputeZShowingProgress(const core::Embedding& y, core::ZMethod method, unsigned threads,
                                      bool verbose);

}  // namespace tsneloss::apps
