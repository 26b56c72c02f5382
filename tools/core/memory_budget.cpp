#include "core/memory_budget.hpp"

#include <sys/resource.h>

#include <algorithm>
#include <fstream>
#include <limits>
#include <sstream>

#include "affinities/memory_estimate.hpp"
#include "core/input_error.hpp"
#include "support/parallel.hpp"
#include "support/text.hpp"

namespace tsneloss::core {
namespace {

using affinities::Allocation;

// The module's copy of P: a row index and a value in double per entry, and the counts.
constexpr double kModuleCopyBytesPerEntry = 16;
// A worker's stack (8 MB) and the 64 MB of address space its malloc arena reserves.
constexpr double kWorkerAddressSpace = 72e6;

// The value of `key` ("MemAvailable:") in a /proc file of "key value kB" lines, in
// bytes; -1 where it is missing.
double ProcBytes(const char* path, const std::string& key) {
  std::ifstream file(path);
  std::string line;
  while (std::getline(file, line)) {
    if (line.rfind(key, 0) != 0) continue;
    std::istringstream fields(line.substr(key.size()));
    double kilobytes = -1;
    fields >> kilobytes;
    return kilobytes < 0 ? -1 : kilobytes * 1024;
  }
  return -1;
}

// What `resource`'s limit leaves above `used` bytes; +inf without a limit.
double LeftUnder(int resource, double used) {
  rlimit limit{};
  if (getrlimit(resource, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) {
    return std::numeric_limits<double>::infinity();
  }
  return std::max(0.0, static_cast<double>(limit.rlim_cur) - std::max(0.0, used));
}

std::string Gigabytes(double bytes) { return support::FormatNumber(bytes / 1e9, 3) + " GB"; }

std::string AllocationNamed(Allocation allocation, std::uint64_t points, std::size_t k) {
  const std::string n = std::to_string(points);
  const std::string each = "each of " + n + " points' " + std::to_string(k) + " nearest neighbours";
  switch (allocation) {
    case Allocation::kAllPairs: return "P over all pairs of " + n + " points";
    case Allocation::kNeighbourLists: return "the exact search for " + each;
    case Allocation::kGraphIndex: return "the graph index of " + n + " points for their approximate neighbours";
    case Allocation::kJointP: break;
  }
  return "P from " + each;
}

}  // namespace

double AvailableMemoryBytes(unsigned threads) {
  double available = std::numeric_limits<double>::infinity();
  const double machine = ProcBytes("/proc/meminfo", "MemAvailable:");
  if (machine >= 0) available = machine;
  const double workers = kWorkerAddressSpace * support::ThreadCount(threads);
  available = std::min(available, LeftUnder(RLIMIT_AS, ProcBytes("/proc/self/status", "VmSize:") + workers));
  available = std::min(available, LeftUnder(RLIMIT_DATA, ProcBytes("/proc/self/status", "VmData:")));
  return available == std::numeric_limits<double>::infinity() ? 0 : available;
}

void CheckAffinityMemory(std::uint64_t points, std::uint64_t dimension, double perplexity,
                         affinities::NeighbourMethod method, unsigned threads, const std::string& source) {
  const affinities::MemoryEstimate estimate =
      affinities::EstimatedMemory(method, points, dimension, perplexity, threads);
  const double with_copy =
      estimate.held_with_p + kModuleCopyBytesPerEntry * estimate.p_entries + 8 * static_cast<double>(points);
  const double needed = std::max(estimate.bytes, with_copy);
  const Allocation largest = with_copy > estimate.bytes
                                 ? (method == affinities::NeighbourMethod::kAll ? Allocation::kAllPairs
                                                                                : Allocation::kJointP)
                                 : estimate.largest;
  const double available = AvailableMemoryBytes(threads);
  if (available <= 0 || needed <= available) return;
  const std::size_t k = affinities::NeighbourCount(points, perplexity);
  std::string message = AllocationNamed(largest, points, k) + " needs about " + Gigabytes(needed) +
                        ", more than the " + Gigabytes(available) + " available to this process";
  if (largest == Allocation::kAllPairs) message += "; use exact or approximate neighbours";
  throw InputError(source, message);
}

OutOfMemoryError OutOfMemoryFor(const std::bad_alloc& error, std::uint64_t points, double perplexity,
                                const std::string& source) {
  const auto* named = dynamic_cast<const affinities::OutOfMemory*>(&error);
  const Allocation allocation = named != nullptr ? named->allocation() : Allocation::kJointP;
  return OutOfMemoryError(source + ": out of memory allocating " +
                          AllocationNamed(allocation, points, affinities::NeighbourCount(points, perplexity)));
}

}  // namespace tsneloss::core
