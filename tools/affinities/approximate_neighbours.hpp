// Approximate neighbour lists from a graph index (hierarchical navigable small
// world graphs, Debian's hnswlib), with the share of true neighbours found estimated
// on a sample of points searched exactly. Every point being in the graph, each is
// searched from its own place in it.
//
// The index is built on all threads, so with more than one thread the lists may
// differ from run to run, as insertion order does. The distances of
// the neighbours found are exact, as the exact search computes them, and each list is
// ordered as that search orders it.
//
// The breadth of the search is the narrowest found (doubling, then halving back)
// with which the sample's estimate, less two standard errors, reaches kWantedRecall
// (or the search is exhaustive); where kWantedRecall lies within the estimate's
// error, the sample grows to some 5000 points first (breadth_choice.hpp).
//
// A neighbour counts as found when it ranks among the true k by (distance, index), as
// the exact search ranks them: where several points tie with the k-th, P takes the
// ones of lower index, and another of them gives another P.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "affinities/neighbours.hpp"

namespace tsneloss::affinities {

// The share of true neighbours the search widens for, and the floor below which its
// estimate, raised by its error, leaves the lists untrusted.
inline constexpr double kWantedRecall = 0.985;
// Above this share of sample points whose k-th true neighbour ties with the next, the
// data are too tied for a graph index: which of the tied points it meets first is
// chance, and so is P.
inline constexpr double kTiedShareLimit = 0.1;

// `count` (<= n) distinct points of n drawn at random, always the same ones, in
// increasing order.
std::vector<std::size_t> SamplePoints(std::size_t n, std::size_t count);

// Points drawn at random (SamplePoints), with their k-th true neighbour.
struct NeighbourSample {
  std::vector<std::size_t> points;
  std::vector<double> kth_distances;  // squared, exact
  std::vector<std::int32_t> kth_indices;
  double tied_share = 0;  // of the points whose k-th distance is their (k+1)-th too
};

// The sample of min(n, 1000) points, each searched against all. `progress` (may be
// empty) is told 0 on the calling thread after each point there: a chance to stop.
template <typename Real>
NeighbourSample SampleNeighbours(const Real* x, std::size_t n, std::size_t d, std::size_t k, unsigned threads,
                                 const std::function<void(double)>& progress = {});

struct ApproximateSearch {
  NeighbourLists lists;
  double recall = 1;          // estimated share of the true neighbours found
  double recall_error = 0;    // two standard errors of that estimate
  double tied_share = 0;      // as the sample's
  std::size_t sample = 0;     // points in the sample behind the estimate
  std::size_t breadth = 0;    // of the search (the index's ef)
};

// Whether the lists may stand for the exact ones: the estimate with its error reaches
// kWantedRecall and the sample is not too tied.
bool Trustworthy(const ApproximateSearch& search);

// As ExactNeighbours, with the estimate on `sample` (SampleNeighbours' of the same
// x and k).
// Real: double, or float (the lists of the same values in double).
template <typename Real>
ApproximateSearch ApproximateNeighbours(const Real* x, std::size_t n, std::size_t d, std::size_t k,
                                        const SearchSettings& settings, const NeighbourSample& sample);
template <typename Real>
ApproximateSearch ApproximateNeighbours(const Real* x, std::size_t n, std::size_t d, std::size_t k,
                                        const SearchSettings& settings = {});

// The most bytes the index and the lists hold at once: the index's links, points
// (twice, as float) and locks, a visited list per thread, and the n by k lists.
double ApproximateSearchBytes(std::size_t n, std::size_t d, std::size_t k, unsigned threads);

}  // namespace tsneloss::affinities
