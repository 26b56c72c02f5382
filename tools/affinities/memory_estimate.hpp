// What P from the data allocates, estimated before any of it is: the peak of each of
// its large allocations, the held arrays around them counted, so that a request too
// large is refused at once instead of failing (or swapping) minutes in; and the
// allocation named when one fails all the same.
#pragma once

#include <cstddef>
#include <new>

#include "affinities/affinities.hpp"

namespace tsneloss::affinities {

enum class Allocation {
  kAllPairs,        // P over all pairs
  kNeighbourLists,  // the exact search's lists and candidates
  kGraphIndex,      // the approximate search's index and lists
  kJointP,          // the conditional rows, C transposed and P
};

struct MemoryEstimate {
  double bytes = 0;                             // at the peak
  Allocation largest = Allocation::kJointP;     // the allocation at the peak
  double p_entries = 0;                         // the most entries P can hold
  double held_with_p = 0;                       // bytes still held when P is handed back
};

// For `method` as given (auto counted as every method it may take for n points).
MemoryEstimate EstimatedMemory(NeighbourMethod method, std::size_t n, std::size_t d, double perplexity,
                               unsigned threads);

// A failed allocation of P from the data, naming which.
class OutOfMemory : public std::bad_alloc {
 public:
  explicit OutOfMemory(Allocation allocation) : allocation_(allocation) {}
  Allocation allocation() const { return allocation_; }
  const char* what() const noexcept override { return "out of memory computing P from the data"; }

 private:
  Allocation allocation_;
};

}  // namespace tsneloss::affinities
