// t-SNE's input affinities P from the data X: each point's neighbours, a precision
// per point matching the perplexity, and the symmetric joint P adding up to 1.
//
// The number of neighbours is min(N - 1, floor(3 perplexity + 1)) unless set larger;
// their distances (squared for Euclidean) are rounded to float before the perplexity
// search, as t-SNE does.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "affinities/joint_affinities.hpp"
#include "affinities/metric.hpp"
#include "affinities/neighbours.hpp"
#include "affinities/perplexity_search.hpp"

namespace tsneloss::affinities {

enum class NeighbourMethod {
  kExact,        // the true nearest neighbours
  kApproximate,  // a graph index: most of them, estimated on a sample
  kAll,          // every other point, with t-SNE's exact method's floor on P
  kAuto,         // exact up to kAutoExactNeighboursLimit points, approximate above
                 // where the graph index can help (see Trustworthy), else exact
};

// Above this many points auto takes the approximate search: at D = 50 on clustered
// data the exact search took 44 s here at N = 450000 against 56 to 58 s (and once
// 378 s, where the graph index came out worse and its search had to widen far), and
// 72 s against 80 s or more at N = 600000 (docs/speed.md), the exact time growing
// with N^2 and the approximate with about N log N. On data without structure,
// uniformly random in 50 dimensions, the graph index needs far wider searches (80 s
// against 7 s at N = 100000); in more dimensions the exact search's kernels run
// nearer the machine's peak.
inline constexpr std::size_t kAutoExactNeighboursLimit = 600000;

// The parts of the work, each with its own progress from 0 to 1: the neighbour
// search, then the perplexity search; the all-pairs method does both at once.
enum class Phase { kNeighbours, kPerplexities, kAllPairs };

struct AffinitySettings {
  double perplexity = 30;
  NeighbourMethod neighbours = NeighbourMethod::kAuto;
  Metric metric = Metric::kEuclidean;  // any but kPrecomputed
  std::size_t k = 0;                   // neighbours per point; 0: NeighbourCount's
  unsigned threads = 0;                  // 0: one per hardware thread
  std::function<void(double)> progress;  // the share of the current phase done
  std::function<void(Phase)> phase;      // a phase begins (again, for the scaled search)
};

struct Affinities {
  SparseRows p;
  NeighbourMethod neighbours = NeighbourMethod::kExact;  // the method used (never kAuto)
  double recall = 1;                                     // approximate: estimated share found
  double recall_error = 0;                               // approximate: two standard errors of it
  double tied_share = 0;                                 // approximate: the sample's share tied at k
  std::size_t recall_sample = 0;                         // approximate: points in the estimate
  bool trustworthy = true;                               // approximate: as Trustworthy
  std::size_t unmet_points = 0;                          // searches that missed the perplexity
  bool scaled_search = false;  // t-SNE's arithmetic gave no P: the scaled search's, on X scaled
};

// "exact", "approx", "all", "auto".
std::string NeighbourMethodName(NeighbourMethod method);
std::optional<NeighbourMethod> ParseNeighbourMethod(const std::string& name);

// How many neighbours each point gets: min(n - 1, floor(3 perplexity + 1)).
std::size_t NeighbourCount(std::size_t n, double perplexity);

// The neighbours per point for `perplexity`: `k` where set (not 0), else NeighbourCount's.
std::size_t NeighbourCountFor(std::size_t n, double perplexity, std::size_t k);

// The method `wanted` resolves to for n points before the data are seen (auto's
// approximate search may still give way to the exact one).
NeighbourMethod ResolvedMethod(NeighbourMethod wanted, std::size_t n);

// P from given neighbour lists (as ExactNeighbours returns them, in any order within
// a row): steps two and three alone. Reorders the lists and frees their distances.
// `progress` (may be empty) gets the share of rows searched, on the calling thread.
SearchedP AffinitiesFromNeighbours(NeighbourLists& lists, double perplexity, unsigned threads,
                                   PrecisionSearch search = PrecisionSearch::kTsne,
                                   const std::function<void(double)>& progress = {});

// P at each perplexity from lists ordered nearest first by (distance, index), holding
// at least ks[m] neighbours a row: each P from the first ks[m] of each row, t-SNE's
// search (whose P may not be finite: AllFinite) unless another is asked for, the same
// bits as from lists of ks[m].
std::vector<SearchedP> AffinitiesFromNearestFirst(const NeighbourLists& lists, std::span<const double> perplexities,
                                                  std::span<const std::size_t> ks, unsigned threads,
                                                  PrecisionSearch search = PrecisionSearch::kTsne);

// Whether every value of P is finite. t-SNE's arithmetic gives a P that is not when
// every conditional affinity underflowed to 0: P is then 0/0.
bool AllFinite(const SparseRows& p);

// `x` holds n >= 2 points of d >= 1 coordinates, point after point, all finite;
// 0 < perplexity < n (the caller checks). P is t-SNE's, bit for bit, wherever that is
// finite; else the scaled search's on X scaled by a power of 2 into float's range, so
// that P is finite and adds up to 1 for every such X. Throws OutOfMemory
// (memory_estimate.hpp) naming the allocation that failed, std::system_error.
// Real is double or float: float points give the P of the same values in double.
template <typename Real>
Affinities ComputeAffinities(const Real* x, std::size_t n, std::size_t d, const AffinitySettings& settings);

// P at each of the perplexities (settings.perplexity unused) from one neighbour
// search for the largest k: each with the bits ComputeAffinities gives it alone where
// the search is exact. Cosine and correlation need rows with a direction
// (FirstRowWithoutDirection); "all" takes Euclidean distances only.
template <typename Real>
std::vector<Affinities> ComputeAffinities(const Real* x, std::size_t n, std::size_t d,
                                          std::span<const double> perplexities, const AffinitySettings& settings);

// Each point's k nearest others (1 <= k < n) by the settings' metric and method
// (kAll is taken as kExact), their distances the metric's own (Euclidean squared),
// rounded to float; `found` gets the search's estimate where approximate.
template <typename Real>
NeighbourLists NearestNeighbours(const Real* x, std::size_t n, std::size_t d, std::size_t k,
                                 const AffinitySettings& settings, Affinities& found);

}  // namespace tsneloss::affinities
