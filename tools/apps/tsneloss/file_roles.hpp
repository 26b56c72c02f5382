// Checks on what each file named on the command line is, made before any work: an
// output never replaces an input or the other output, and with --data no file given
// as an embedding is a file of P.
#pragma once

#include "apps/tsneloss/options.hpp"

namespace tsneloss::apps {

// Throws UsageError when --save-p or --per-point is the same file as an input or as
// each other: the same device and inode where the file exists, the same resolved path
// where it does not yet.
void CheckOutputsApart(const Options& options);

// With --data, throws UsageError for a file given as an embedding that is a Matrix
// Market file or a .npz archive: those hold P, and the embedding reader takes neither.
// Standard input is left to its reader, and so is a file that cannot be opened.
void CheckNoAffinitiesGiven(const Options& options);

}  // namespace tsneloss::apps
