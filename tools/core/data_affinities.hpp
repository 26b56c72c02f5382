// P computed from the data X for the module: the rules X and the perplexity obey,
// the computation, and P in the host arrays the module takes.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "affinities/affinities.hpp"
#include "core/module_call.hpp"

namespace tsneloss {

// Throws InputError naming `source` (the data) for fewer than two points, no
// coordinates, or a perplexity that is not finite, not above 0 or not below N; and,
// for all pairs, where their P would not fit in this machine's memory.
void CheckAffinityRequest(std::uint64_t points, std::uint64_t dimension, double perplexity,
                          affinities::NeighbourMethod method, const std::string& source);

// CheckAffinityRequest, the first coordinate that is not finite ("element k" of the
// row-major buffer), then ComputeAffinities.
affinities::Affinities AffinitiesFromData(const double* x, std::uint64_t points, std::uint64_t dimension,
                                          const affinities::AffinitySettings& settings, const std::string& source);

// P's rows as the module's columns (P is symmetric), one-based, in one pass.
HostAffinities HostAffinitiesOf(const affinities::SparseRows& p);

}  // namespace tsneloss
