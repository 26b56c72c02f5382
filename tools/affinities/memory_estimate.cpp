#include "affinities/memory_estimate.hpp"

#include <algorithm>

#include "affinities/approximate_neighbours.hpp"
#include "support/parallel.hpp"

namespace tsneloss::affinities {
namespace {

// A column index (4 bytes) and a value (8) per entry of P, and the row starts.
double SparseRowsBytes(double entries, double n) { return 12 * entries + 8 * (n + 1); }

void Consider(MemoryEstimate& estimate, Allocation allocation, double bytes) {
  if (bytes > estimate.bytes) {
    estimate.bytes = bytes;
    estimate.largest = allocation;
  }
}

}  // namespace

MemoryEstimate EstimatedMemory(NeighbourMethod method, std::size_t n, std::size_t d, double perplexity,
                               unsigned threads) {
  MemoryEstimate estimate;
  const auto points = static_cast<double>(n);
  const double pairs = points * (points - 1);
  if (ResolvedMethod(method, n) == NeighbourMethod::kAll) {
    estimate.p_entries = pairs;
    estimate.held_with_p = SparseRowsBytes(pairs, points);
    // Each thread measures a row at a time, in double and in float.
    Consider(estimate, Allocation::kAllPairs, estimate.held_with_p + 12 * points * support::ThreadCount(threads));
    return estimate;
  }
  const std::size_t k = NeighbourCount(n, perplexity);
  const double listed = points * static_cast<double>(k);
  estimate.p_entries = std::min(2 * listed, pairs);
  // The lists' indices stay beside P; their distances give way to the conditional
  // rows, which stay while C transposed (12 bytes an entry) and P are made.
  const double p_bytes = SparseRowsBytes(estimate.p_entries, points);
  estimate.held_with_p = p_bytes + 4 * listed;
  Consider(estimate, Allocation::kJointP, 4 * listed + 8 * listed + 12 * listed + 8 * points + p_bytes);
  if (method != NeighbourMethod::kApproximate) {
    Consider(estimate, Allocation::kNeighbourLists, ExactNeighboursBytes(n, d, k, threads));
  }
  if (ResolvedMethod(method, n) == NeighbourMethod::kApproximate) {
    Consider(estimate, Allocation::kGraphIndex, ApproximateSearchBytes(n, d, k, threads));
  }
  return estimate;
}

}  // namespace tsneloss::affinities
