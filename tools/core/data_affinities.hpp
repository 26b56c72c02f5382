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
#include "core/notes.hpp"

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

// What is wrong with a computed P (a value that is not finite, or a sum that is not 1
// up to rounding and the all-pairs floor), empty for a sound one.
std::string ComputedPFault(const SparseRows& p);

// Throws std::runtime_error for a P computed from `source` with a ComputedPFault: a
// fault of ours, never handed on as a result.
void CheckComputedP(const SparseRows& p, const std::string& source);

// The standard error of the estimated share of true neighbours found (0 where exact).
inline double RecallStandardError(const affinities::Affinities& computed) { return computed.recall_error / 2; }

// What tsneloss says beside P computed at `perplexity`: approximate neighbours that
// fall short (NoteOnApproximateNeighbours), then NotesOnComputedP.
std::vector<Note> NotesOnAffinities(const affinities::Affinities& computed, double perplexity);

// P's rows as the module's columns (P is symmetric), one-based, in one pass.
HostAffinities HostAffinitiesOf(const affinities::SparseRows& p);

// P from given neighbour lists, for comparing with other implementations given the
// same neighbours: `indices` and `squared_distances` n by k (the same shape), each
// index in [0, n). Throws InputError naming the array at fault. t-SNE's search, or
// the scaled one where t-SNE's gives no P.
SparseRows AffinitiesFromNeighbourLists(const ShapedArray<std::int32_t>& indices,
                                        const ShapedArray<float>& squared_distances, double perplexity);

}  // namespace tsneloss::core
