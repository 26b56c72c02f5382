// What a progress bar calls each part of the work, on the command line and in Python
// alike.
#pragma once

#include <string_view>

#include "affinities/affinities.hpp"

namespace tsneloss::core {

using affinities::Phase;

inline std::string_view PhaseLabel(Phase phase) {
  switch (phase) {
    case Phase::kNeighbours: return "finding neighbours";
    case Phase::kPerplexities: return "fitting perplexities";
    case Phase::kAllPairs: return "fitting all pairs";
  }
  return "";
}

inline constexpr std::string_view kZLabel = "computing Z";

}  // namespace tsneloss::core
