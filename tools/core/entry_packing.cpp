#include "core/entry_packing.hpp"

#include <algorithm>
#include <cmath>
#include <new>
#include <optional>
#include <stdexcept>
#include <utility>
#include <vector>

#include "core/destination_sort.hpp"
#include "core/input_error.hpp"
#include "core/input_rules.hpp"
#include "support/parallel.hpp"

namespace tsneloss {
namespace {

// Columns, rows and places below this fit a key's 32-bit halves.
constexpr std::uint64_t kKeyLimit = std::uint64_t{1} << 32;

// What sorting a column needs, kept from column to column.
struct ColumnScratch {
  std::vector<std::uint64_t> keys;
  std::vector<double> values;
};

// Sorts one column's entries by row, keeping the given order among equal rows, and
// adds repeated rows together into the front of the column. Returns the positions
// kept; counts the merged ones.
std::uint64_t SortAndMergeColumn(double* rows, double* values, std::uint64_t count, std::uint64_t column,
                                 ColumnScratch& scratch, std::uint64_t& merged, const std::string& source) {
  bool increasing = true;
  for (std::uint64_t k = 1; k < count && increasing; ++k) increasing = rows[k - 1] < rows[k];
  if (increasing) return count;
  // Sorted as (row, place given) pairs packed into one word: all keys differ, so any
  // sort keeps the given order among equal rows. Rows and places fit 32 bits, as the
  // module needs N and the entries below 2^31.
  scratch.keys.resize(count);
  scratch.values.assign(values, values + count);
  for (std::uint64_t k = 0; k < count; ++k) scratch.keys[k] = static_cast<std::uint64_t>(rows[k]) << 32 | k;
  std::sort(scratch.keys.begin(), scratch.keys.end());
  std::uint64_t kept = 0;
  for (std::size_t at = 0; at < count;) {
    const std::uint64_t row = scratch.keys[at] >> 32;
    double sum = scratch.values[scratch.keys[at] & 0xFFFFFFFF];
    std::size_t next = at + 1;
    for (; next < count && scratch.keys[next] >> 32 == row; ++next) sum += scratch.values[scratch.keys[next] & 0xFFFFFFFF];
    if (next - at > 1) {
      ++merged;
      if (!std::isfinite(sum)) {
        throw InputError(source, "the values given for row " + std::to_string(row - 1) + ", column " +
                                     std::to_string(column) + " (zero-based) add up to more than the largest double");
      }
    }
    rows[kept] = static_cast<double>(row);
    values[kept] = sum;
    ++kept;
    at = next;
  }
  return kept;
}

// Sorts and merges every column, columns split over threads by their entries; each
// column's kept count goes to column_counts. `ends[j]` is where column j ends. The
// fault of the lowest column is thrown.
std::uint64_t SortAndMergeColumns(std::uint64_t n, const std::vector<std::uint64_t>& ends, const ColumnArrays& arrays,
                                  unsigned threads, const std::string& source) {
  const std::uint64_t total = n == 0 ? 0 : ends[n - 1];
  const unsigned parts = total < (std::uint64_t{1} << 16) ? 1 : std::max(1u, threads);
  std::vector<std::uint64_t> merged(parts, 0);
  const auto sort_part = [&](std::size_t part, unsigned) {
    // Columns from the one holding the part's first share of the entries.
    const auto first_column = [&](std::size_t k) {
      return static_cast<std::uint64_t>(std::lower_bound(ends.begin(), ends.begin() + static_cast<std::ptrdiff_t>(n),
                                                         total * k / parts + (k == 0 ? 0 : 1)) - ends.begin());
    };
    const std::uint64_t from = part == 0 ? 0 : first_column(part);
    const std::uint64_t to = part + 1 == parts ? n : first_column(part + 1);
    ColumnScratch scratch;
    for (std::uint64_t j = from; j < to; ++j) {
      const std::uint64_t begin = j == 0 ? 0 : ends[j - 1];
      arrays.column_counts[j] = static_cast<double>(SortAndMergeColumn(
          arrays.row_indices + begin, arrays.values + begin, ends[j] - begin, j, scratch, merged[part], source));
    }
  };
  support::ParallelFor(parts, {parts, {}}, sort_part);
  std::uint64_t all = 0;
  for (const std::uint64_t count : merged) all += count;
  return all;
}

// Readers check every entry and name its place; this guards the arrays against one
// that let an entry through (a few instructions per entry, next to sorting).
void CheckPlaces(const EntryBlock& block, std::uint64_t n, const std::string& source) {
  if (block.rows.size() != block.values.size() || block.columns.size() != block.values.size()) {
    throw std::logic_error(source + ": a block of entries whose arrays differ in length");
  }
  for (std::size_t k = 0; k < block.values.size(); ++k) {
    if (!IndexInRange(block.rows[k], n) || !IndexInRange(block.columns[k], n)) {
      throw InputError(source, "an entry at row " + std::to_string(block.rows[k]) + ", column " +
                                   std::to_string(block.columns[k]) + " (zero-based) lies outside P, " +
                                   std::to_string(n) + " by " + std::to_string(n));
    }
  }
}

// How the first pass keeps the entries it is handed.
enum class Taking {
  kInOrder,    // column after column so far: each placed where it ends up
  kKeys,       // in the order given, each row slot holding its column and row
  kCounted,    // columns counted first: spread into runs, each slot holding its place and row
  kCountOnly,  // not kept (no room set aside, or more than it holds): read again
};

// Turns the first `placed` entries, placed column after column (`counts[j + 1]` of
// column j), into (column, row) keys, as if they had been taken as keys.
void KeysOfPlaced(std::uint64_t placed, const std::vector<std::uint64_t>& counts, double* rows) {
  std::uint64_t at = 0;
  for (std::uint64_t j = 0; at < placed; ++j) {
    for (const std::uint64_t end = at + counts[j + 1]; at < end; ++at) {
      StoreKey(rows + at, DestinationKey(j, static_cast<std::uint64_t>(rows[at]) - 1));
    }
  }
}

// Entries taken as keys end column after column, each column's in the order given:
// every (column, row) key becomes (place, row), `starts[j]` being where column j
// starts; it is left where column j ends.
void ChoosePlaces(double* keys, std::uint64_t count, std::vector<std::uint64_t>& starts) {
  for (std::uint64_t k = 0; k < count; ++k) {
    const std::uint64_t key = LoadKey(keys + k);
    StoreKey(keys + k, DestinationKey(starts[KeyDestination(key)]++, KeyRow(key)));
  }
}

// Entries whose columns the stream counted before handing them over. Each is given
// its place as it comes (its column's next, so a column's entries keep the order
// given) and written to the run of places it falls in, one of a few dozen runs
// written at once: reading leaves them spread as the move's first, single-threaded
// step would, and the move goes on from there on all threads.
class CountedRuns {
 public:
  // Asks the stream to count into `next` (N + 1 zeros), which then holds where each
  // column starts and, last, the total. Nullopt, `next` back to zeros, where the
  // stream does not count, or counts more than `room` entries (at most kKeyLimit).
  static std::optional<CountedRuns> Count(EntryStream& entries, std::vector<std::uint64_t>& next, std::uint64_t room,
                                          unsigned threads) {
    const std::uint64_t n = next.size() - 1;
    const auto refuse = [&] {
      std::fill(next.begin(), next.end(), 0);
      return std::nullopt;
    };
    if (n == 0 || !entries.CountColumns(std::span(next).subspan(1), threads)) return refuse();
    CountedRuns runs;
    runs.next_.resize(n);
    for (std::uint64_t j = 0; j < n; ++j) {
      next[j + 1] += next[j];
      if (next[j + 1] > room) return refuse();
      runs.next_[j] = static_cast<std::uint32_t>(next[j]);
    }
    const std::uint64_t total = next[n];
    runs.total_ = total;
    runs.run_bits_ = FirstRunBits(total);
    for (std::uint64_t r = 0; r < (total == 0 ? 0 : ((total - 1) >> runs.run_bits_) + 1); ++r) {
      runs.heads_.push_back(r << runs.run_bits_);
      runs.run_ends_.push_back(std::min((r + 1) << runs.run_bits_, total));
    }
    return runs;
  }

  void Spread(const EntryBlock& block, const ColumnArrays& arrays, const std::string& source) {
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
        if (run >= heads_.size() || heads_[run] == run_ends_[run]) ThrowChanged(source);
        const std::uint64_t slot = heads_[run]++;
        StoreKey(arrays.row_indices + slot, DestinationKey(places[k], static_cast<std::uint64_t>(rows[k])));
        arrays.values[slot] = values[k];
      }
    }
  }

  // Moves every entry to its place, `starts` being what Count left in `next`; then
  // each column's entries lie where the next starts.
  void PlaceAll(const std::vector<std::uint64_t>& starts, const ColumnArrays& arrays, unsigned threads,
                const std::string& source) {
    // Every column's entries as counted, so every place taken once.
    for (std::uint64_t j = 0; j < next_.size(); ++j) {
      if (next_[j] != starts[j + 1]) ThrowChanged(source);
    }
    PlaceWithinRuns(arrays.row_indices, arrays.values, total_, run_bits_, threads);
  }

 private:
  [[noreturn]] static void ThrowChanged(const std::string& source) {
    throw InputError(source, "the file changed while it was read");
  }

  // Each column's next place: 32 bits (below kKeyLimit) keep them in less cache.
  std::vector<std::uint32_t> next_;
  std::vector<std::uint64_t> heads_;  // each run's next slot
  std::vector<std::uint64_t> run_ends_;
  unsigned run_bits_ = 0;
  std::uint64_t total_ = 0;
};

}  // namespace

PackedSize PackEntries(std::uint64_t n, EntryStream& entries, const ColumnAllocator& allocate, const std::string& source,
                       unsigned threads) {
  // First pass: check (the stream does) and count each column's entries. Where room
  // can be set aside first, every entry is kept too: placed, for as long as they come
  // column after column; past that, as keys to be moved to their places at the end.
  std::vector<std::uint64_t> next(n + 1, 0);
  const auto bound = entries.EntryBound();
  std::optional<ColumnArrays> arrays;
  if (bound) {
    try {
      arrays = allocate(n, *bound);
    } catch (const std::bad_alloc&) {
      // A bound far above the entries (a compressed file's, say): count them first.
      arrays.reset();
    }
  }
  // Keys hold a column or a place and a row in 32 bits each.
  const bool keys_fit = arrays && n <= kKeyLimit && *bound <= kKeyLimit;
  // Entries whose columns the stream can count first are spread as they come.
  std::optional<CountedRuns> counted;
  if (keys_fit) counted = CountedRuns::Count(entries, next, *bound, support::ThreadCount(threads));
  Taking taking = counted ? Taking::kCounted : arrays ? Taking::kInOrder : Taking::kCountOnly;
  std::uint64_t placed = 0;
  std::int64_t last_column = 0;
  entries.ForEach([&](const EntryBlock& block) {
    CheckPlaces(block, n, source);
    const std::size_t size = block.values.size();
    std::size_t k = 0;
    if (taking == Taking::kCounted) {
      counted->Spread(block, *arrays, source);
      return;
    }
    if (taking == Taking::kInOrder) {
      for (; k < size && block.columns[k] >= last_column && placed < *bound; ++k, ++placed) {
        last_column = block.columns[k];
        ++next[static_cast<std::uint64_t>(last_column) + 1];
        arrays->row_indices[placed] = static_cast<double>(block.rows[k] + 1);
        arrays->values[placed] = block.values[k];
      }
      if (k < size) {
        taking = keys_fit && placed < *bound ? Taking::kKeys : Taking::kCountOnly;
        if (taking == Taking::kKeys) KeysOfPlaced(placed, next, arrays->row_indices);
      }
    }
    if (taking == Taking::kKeys) {
      const std::size_t end = k + static_cast<std::size_t>(std::min<std::uint64_t>(size - k, *bound - placed));
      for (; k < end; ++k, ++placed) {
        const auto column = static_cast<std::uint64_t>(block.columns[k]);
        ++next[column + 1];
        StoreKey(arrays->row_indices + placed, DestinationKey(column, static_cast<std::uint64_t>(block.rows[k])));
        arrays->values[placed] = block.values[k];
      }
      if (k < size) taking = Taking::kCountOnly;
    }
    for (; k < size; ++k) ++next[static_cast<std::uint64_t>(block.columns[k]) + 1];
  });
  if (taking == Taking::kCounted) {
    counted->PlaceAll(next, *arrays, support::ThreadCount(threads), source);
  } else {
    for (std::uint64_t j = 0; j < n; ++j) next[j + 1] += next[j];
  }
  // next[j + 1] is where column j ends.
  const std::uint64_t total = next[n];
  if (total == 0) ThrowNoStoredEntries(source);

  if (taking == Taking::kInOrder || taking == Taking::kCounted) {
    // Every entry is in place: next[j + 1] is where column j ends.
    next.erase(next.begin());
  } else if (taking == Taking::kKeys) {
    // Every entry is kept, in the order given: each column's entries go to its room
    // in that order, as the second pass below would place them.
    next.pop_back();
    ChoosePlaces(arrays->row_indices, total, next);
    PlaceAtDestinations(arrays->row_indices, arrays->values, total, support::ThreadCount(threads));
  } else if (taking == Taking::kCountOnly) {
    if (!arrays || total > *bound) arrays = allocate(n, total);
    // Second pass: each entry straight to its column's next free place, so a
    // column's entries keep the order given.
    placed = 0;
    // A file changed between the passes must not write past a column's room.
    const std::vector<std::uint64_t> ends(next.begin() + 1, next.end());
    entries.ForEach([&](const EntryBlock& block) {
      CheckPlaces(block, n, source);
      for (std::size_t k = 0; k < block.values.size(); ++k) {
        const auto column = static_cast<std::uint64_t>(block.columns[k]);
        const std::uint64_t at = next[column]++;
        if (at >= ends[column]) throw InputError(source, "the file changed while it was read");
        arrays->row_indices[at] = static_cast<double>(block.rows[k] + 1);
        arrays->values[at] = block.values[k];
      }
      placed += block.values.size();
    });
    if (placed != total) throw InputError(source, "the file changed while it was read");
  }

  // next[j] is now where column j ends. Sort and merge each column, then close the
  // gaps merging left.
  PackedSize size;
  size.merged_positions = SortAndMergeColumns(n, next, *arrays, support::ThreadCount(threads), source);
  std::uint64_t write = 0;
  for (std::uint64_t j = 0; j < n; ++j) {
    const std::uint64_t begin = j == 0 ? 0 : next[j - 1];
    const auto kept = static_cast<std::uint64_t>(arrays->column_counts[j]);
    if (write != begin) {
      std::copy(arrays->row_indices + begin, arrays->row_indices + begin + kept, arrays->row_indices + write);
      std::copy(arrays->values + begin, arrays->values + begin + kept, arrays->values + write);
    }
    write += kept;
  }
  size.nnz = write;
  return size;
}

}  // namespace tsneloss
