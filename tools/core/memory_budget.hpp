// The memory this process may still take, and the refusal of P from the data that
// would take more: one check for the command line and Python.
#pragma once

#include <cstdint>
#include <new>
#include <string>

#include "affinities/affinities.hpp"

namespace tsneloss::core {

// The least of the memory available on the machine (MemAvailable) and what the
// address-space and data limits (RLIMIT_AS, RLIMIT_DATA) leave above the process's
// present use, the address space less what `threads` workers reserve for their stacks
// and allocation arenas; 0 where none of them can be read.
double AvailableMemoryBytes(unsigned threads);

// Throws InputError naming `source` when P from the data, as EstimatedMemory counts
// it with the module's copy of P, would take more than AvailableMemoryBytes().
void CheckAffinityMemory(std::uint64_t points, std::uint64_t dimension, double perplexity,
                         affinities::NeighbourMethod method, unsigned threads, const std::string& source);

// An allocation of P from the data that failed all the same, named.
class OutOfMemoryError : public std::bad_alloc {
 public:
  explicit OutOfMemoryError(std::string message) : message_(std::move(message)) {}
  const char* what() const noexcept override { return message_.c_str(); }

 private:
  std::string message_;
};

// "source: out of memory allocating ..." for the failure `error` of ComputeAffinities.
OutOfMemoryError OutOfMemoryFor(const std::bad_alloc& error, std::uint64_t points, double perplexity,
                                const std::string& source);

}  // namespace tsneloss::core
