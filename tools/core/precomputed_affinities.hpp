// P from distances the caller measured: a sparse graph whose row i holds point i's
// candidates, or a dense N-by-N matrix. The values are used as given (squared
// Euclidean distances give the Euclidean P); the diagonal is ignored.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "affinities/affinities.hpp"
#include "core/sparse_columns.hpp"

namespace tsneloss::core {

// An N-by-N matrix in compressed rows; a row's stored entries off the diagonal are
// its point's candidates, in any order.
struct DistanceGraph {
  std::uint64_t n = 0;
  std::span<const std::int64_t> indptr;  // n + 1
  std::span<const std::int64_t> indices;
  std::span<const double> data;
};

// P at each perplexity from each row's k nearest candidates (k: settings.k, or the
// default for the largest perplexity), ties to the lower index; t-SNE's search, or the
// scaled one where t-SNE's gives no P. Throws InputError naming `source`: a distance
// that is negative or not finite, an index outside [0, N), a row with fewer than k
// candidates (named), the perplexities' and k's rules.
std::vector<affinities::Affinities> AffinitiesFromGraph(const DistanceGraph& graph,
                                                        std::span<const double> perplexities,
                                                        const affinities::AffinitySettings& settings,
                                                        const std::string& source);

// As AffinitiesFromGraph on distances read as a P file is read (by columns, one-based
// rows): entry (i, j) is a distance from point i, a candidate of row i.
std::vector<affinities::Affinities> AffinitiesFromColumns(const SparseColumns& distances,
                                                          std::span<const double> perplexities,
                                                          const affinities::AffinitySettings& settings,
                                                          const std::string& source);

// As AffinitiesFromGraph with every other point a candidate: `distances` N by N, row
// after row.
std::vector<affinities::Affinities> AffinitiesFromDistances(const double* distances, std::uint64_t n,
                                                            std::span<const double> perplexities,
                                                            const affinities::AffinitySettings& settings,
                                                            const std::string& source);

}  // namespace tsneloss::core
