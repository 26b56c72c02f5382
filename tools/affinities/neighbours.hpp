// Each point's k nearest other points by Euclidean distance, on raw pointers.
//
// Lists are ordered by distance, a tie going to the lower index; the squared
// distances are handed out rounded to float, as t-SNE takes them. Two searches:
// exact (every pair, on all cores with the widest vector instructions; the same
// lists for every thread count and instruction set) and approximate (a graph index,
// with the share of true neighbours it found estimated on a sample of points).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

#include "support/large_vector.hpp"

namespace tsneloss::affinities {

using support::LargeVector;

// Row i of n rows holds point i's k neighbours: indices[i * k + m] and
// squared_distances[i * k + m] for m = 0 .. k - 1, nearest first.
struct NeighbourLists {
  std::size_t n = 0;
  std::size_t k = 0;
  LargeVector<std::int32_t> indices;
  LargeVector<float> squared_distances;
};

struct SearchSettings {
  unsigned threads = 0;                  // 0: one per hardware thread
  std::function<void(double)> progress;  // the share done, 0 to 1, on the calling thread
};

// `x` holds n points of d coordinates, point after point, all finite; 1 <= k < n,
// n < 2^31. Throws std::bad_alloc, std::system_error when a thread cannot start.
NeighbourLists ExactNeighbours(const double* x, std::size_t n, std::size_t d, std::size_t k,
                               const SearchSettings& settings = {});
// The same for float points, with the lists of the same values in double.
NeighbourLists ExactNeighbours(const float* x, std::size_t n, std::size_t d, std::size_t k,
                               const SearchSettings& settings = {});

// The most bytes ExactNeighbours holds at once: the lists, the points in float twice
// over, and every point's candidates, about 2k each.
double ExactNeighboursBytes(std::size_t n, std::size_t d, std::size_t k, unsigned threads);

}  // namespace tsneloss::affinities
