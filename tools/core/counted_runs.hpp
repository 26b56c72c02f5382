// Entries whose columns the stream counted before handing them over. Each is given
// its place as it comes (its column's next, so a column's entries keep the order
// given) and written to the run of places it falls in, one of a few dozen runs
// written at once: reading leaves them spread as the move's first, single-threaded
// step would, and the move goes on from there on all threads.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/entry_packing.hpp"

namespace tsneloss::core {

class CountedRuns {
 public:
  // Asks the stream to count each of N columns' entries. Nullopt where the stream does
  // not count, or counts more than `room` entries (room at most 2^32: places are
  // kept in 32 bits).
  static std::optional<CountedRuns> Count(EntryStream& entries, std::uint64_t n, std::uint64_t room,
                                          unsigned threads);

  // Writes the block's entries, as keys of their place and row, into their runs of
  // the arrays' row slots. Throws InputError naming `source` for an entry beyond its
  // column's count (a file that changed since it was counted).
  void Spread(const EntryBlock& block, const ColumnArrays& arrays, const std::string& source);

  // Moves every entry to its place; then each column's entries lie before its end.
  // Throws InputError naming `source` unless every column's count was handed over.
  void PlaceAll(const ColumnArrays& arrays, unsigned threads, const std::string& source);

  // Where each column ends, as counted.
  const std::vector<std::uint64_t>& ends() const { return ends_; }

 private:
  // Each column's next place: 32 bits keep them in less cache.
  std::vector<std::uint32_t> next_;
  std::vector<std::uint64_t> ends_;
  std::vector<std::uint64_t> heads_;  // each run's next slot
  std::vector<std::uint64_t> run_ends_;
  unsigned run_bits_ = 0;
  std::uint64_t total_ = 0;
};

}  // namespace tsneloss::core
