// Approximate neighbour lists from a graph index (hierarchical navigable small
// world graphs, Debian's hnswlib), with the share of true neighbours found estimated
// on a sample of points searched exactly.
//
// The index is built on all threads, so with more than one thread the lists may
// differ from run to run, as insertion order does. The breadth of the search is the
// narrowest found (doubling, then halving back) with which the sample finds at least
// 98.5% of its true neighbours (or the search is exhaustive). The distances of the neighbours found are exact, as the exact
// search computes them, and each list is ordered as that search orders it.
#pragma once

#include <cstddef>

#include "affinities/neighbours.hpp"

namespace tsneloss::affinities {

struct ApproximateSearch {
  NeighbourLists lists;
  double recall = 1;         // estimated share of the true neighbours found
  std::size_t sample = 0;    // points in the sample behind the estimate
  std::size_t breadth = 0;   // of the search (the index's ef)
};

// As ExactNeighbours.
ApproximateSearch ApproximateNeighbours(const double* x, std::size_t n, std::size_t d, std::size_t k,
                                        const SearchSettings& settings = {});

}  // namespace tsneloss::affinities
