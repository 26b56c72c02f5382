// P computed from the data for tsneloss, with what it tells the user on stderr.
#pragma once

#include <string>
#include <vector>

#include "apps/tsneloss/options.hpp"
#include "core/embedding.hpp"
#include "core/module_call.hpp"
#include "core/notes.hpp"

namespace tsneloss::apps {

struct ComputedP {
  core::HostAffinities p;
  std::vector<core::Note> notes;  // on how P was searched, for stderr
  std::string json_fields;  // ", \"perplexity\": ..." for the JSON line
};

// P from X (read from `source`) at the options' perplexity and neighbours, written to
// --save-p when given, and packed for the module. Throws InputError, std::runtime_error.
ComputedP ComputeP(const Options& options, const core::Embedding& x, const std::string& source);

}  // namespace tsneloss::apps
