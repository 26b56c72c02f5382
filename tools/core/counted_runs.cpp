#include "core/counted_runs.hpp"

#include <algorithm>
#include <span>

#include "core/destination_sort.hpp"
#include "core/input_error.hpp"
#include "core/input_messages.hpp"

namespace tsneloss::core {

std::optional<CountedRuns> CountedRuns::Count(EntryStream& entries, std::uint64_t n, std::uint64_t room,
                                              unsigned threads) {
  std::vector<std::uint64_t> counts(n, 0);
  if (n == 0 || !entries.CountColumns(counts, threads)) return std::nullopt;
  CountedRuns runs;
  runs.next_.resize(n);
  runs.ends_.resize(n);
  std::uint64_t start = 0;
  for (std::uint64_t j = 0; j < n; ++j) {
    runs.next_[j] = static_cast<std::uint32_t>(start);
    start += counts[j];
    if (start > room) return std::nullopt;
    runs.ends_[j] = start;
  }
  runs.total_ = start;
  runs.run_bits_ = FirstRunBits(start);
  for (std::uint64_t r = 0; r < (start == 0 ? 0 : ((start - 1) >> runs.run_bits_) + 1); ++r) {
    runs.heads_.push_back(r << runs.run_bits_);
    runs.run_ends_.push_back(std::min((r + 1) << runs.run_bits_, start));
  }
  return runs;
}

void CountedRuns::Spread(const EntryBlock& block, const ColumnArrays& arrays, const std::string& source) {
  // Places first, then the writes: a loop of loads that miss in cache, none waiting
  // on another, and a loop of stores, run faster apart than interleaved.
  constexpr std::size_t kStep = 2048;
  std::uint32_t places[kStep];
  for (std::size_t from = 0; from < block.values.size(); from += kStep) {
    const std::size_t count = std::min(kStep, block.values.size() - from);
    const std::int64_t* columns = block.columns.data() + from;
    for (std::size_t k = 0; k < count; ++k) places[k] = next_[static_cast<std::uint64_t>(columns[k])]++;
    const std::int64_t* rows = block.rows.data() + from;
    const double* values = block.values.data() + from;
    for (std::size_t k = 0; k < count; ++k) {
      const std::uint64_t run = places[k] >> run_bits_;
      // Places repeat only in a file that changed since it was counted (checked at
      // the end); this keeps even those inside their run.
      if (run >= heads_.size() || heads_[run] == run_ends_[run]) throw InputError(source, kFileChanged);
      const std::uint64_t slot = heads_[run]++;
      StoreKey(arrays.row_indices + slot, DestinationKey(places[k], static_cast<std::uint64_t>(rows[k])));
      arrays.values[slot] = values[k];
    }
  }
}

void CountedRuns::PlaceAll(const ColumnArrays& arrays, unsigned threads, const std::string& source) {
  // Every column's entries as counted, so every place taken once.
  for (std::uint64_t j = 0; j < next_.size(); ++j) {
    if (next_[j] != ends_[j]) throw InputError(source, kFileChanged);
  }
  PlaceWithinRuns(arrays.row_indices, arrays.values, total_, run_bits_, threads);
}

}  // namespace tsneloss::core
