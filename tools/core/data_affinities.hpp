// P computed from the data X for the module: the rules X and the perplexity obey,
// the computation, and P in the host arrays the module takes.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "affinities/affinities.hpp"
#include "core/module_call.hpp"

namespace tsneloss::core {

// The affinities library as the layers above core see it.
using affinities::Affinities;
using affinities::AffinitySettings;
using affinities::NeighbourMethod;
using affinities::NeighbourMethodName;
using affinities::ParseNeighbourMethod;
using affinities::SparseRows;

// The neighbour method of that name ("exact", "approx", "all" or "auto"); throws
// InputError naming `source` for any other name.
NeighbourMethod NeighbourMethodNamed(const std::string& name, const std::string& source);

// An array handed over in memory: its shape and its values, row after row.
template <typename T>
struct ShapedArray {
  std::vector<std::uint64_t> shape;
  std::span<const T> values;
};

// Throws InputError naming `source` (the data) for fewer than two points, no
// coordinates, or a perplexity that is not finite, not above 0 or not below N; and
// where P would not fit in the memory left to this process (CheckAffinityMemory).
void CheckAffinityRequest(std::uint64_t points, std::uint64_t dimension, double perplexity,
                          affinities::NeighbourMethod method, const std::string& source, unsigned threads = 0);

// CheckAffinityRequest, the first coordinate that is not finite ("element k" of the
// row-major buffer), then ComputeAffinities; a failed allocation throws
// OutOfMemoryError naming it.
affinities::Affinities AffinitiesFromData(const double* x, std::uint64_t points, std::uint64_t dimension,
                                          const affinities::AffinitySettings& settings, const std::string& source);

// P's rows as the module's columns (P is symmetric), one-based, in one pass.
HostAffinities HostAffinitiesOf(const affinities::SparseRows& p);

// P from given neighbour lists, for comparing with other implementations given the
// same neighbours: `indices` and `squared_distances` n by k (the same shape), each
// index in [0, n). Throws InputError naming the array at fault.
SparseRows AffinitiesFromNeighbourLists(const ShapedArray<std::int32_t>& indices,
                                        const ShapedArray<float>& squared_distances, double perplexity);

}  // namespace tsneloss::core
