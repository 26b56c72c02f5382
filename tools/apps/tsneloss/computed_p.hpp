// P computed from the data for tsneloss, with what it tells the user on stderr.
#pragma once

#include <string>
#include <vector>

#include "apps/tsneloss/options.hpp"
#include "core/embedding.hpp"
#include "core/module_call.hpp"
#include "core/notes.hpp"
#include "core/sparse_columns.hpp"

namespace tsneloss::apps {

struct ComputedP {
  core::HostAffinities p;
  std::vector<core::Note> notes;  // on how P was searched, for stderr
  std::string json_fields;  // ", \"perplexity\": ..." for the JSON line
};

// P from X (read from `source`) at each of the options' perplexities, by their metric
// and neighbours, from one search, each written to --save-p when given (SavePathFor)
// and packed for the module. Throws InputError, std::runtime_error.
std::vector<ComputedP> ComputeP(const Options& options, const core::Embedding& x, const std::string& source);

// The same from distances (--metric precomputed), read from `source` as a P file is.
std::vector<ComputedP> ComputePFromDistances(const Options& options, const core::SparseColumns& distances,
                                             const std::string& source);

// Where --save-p writes P at `perplexity`: the path itself for one perplexity, else
// with ".perplexity-P" before its extension ("p.npz" at 10: "p.perplexity-10.npz").
std::string SavePathFor(const std::string& path, double perplexity, bool several);

}  // namespace tsneloss::apps
