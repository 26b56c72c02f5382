#include "core/entry_packing.hpp"

#include <algorithm>
#include <new>
#include <numeric>
#include <optional>
#include <stdexcept>
#include <vector>

#include "core/column_merge.hpp"
#include "core/counted_runs.hpp"
#include "core/destination_sort.hpp"
#include "core/input_error.hpp"
#include "core/input_messages.hpp"
#include "core/input_rules.hpp"
#include "support/parallel.hpp"

namespace tsneloss::core {
namespace {

// Columns, rows and places below this fit a key's 32-bit halves.
constexpr std::uint64_t kKeyLimit = std::uint64_t{1} << 32;

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
  kCountOnly,  // not kept (no room set aside, or more than it holds): read again
};

// Keys hold a column or a place and a row in 32 bits each: N and the room set aside
// must fit.
bool KeysFit(std::uint64_t n, const std::optional<ColumnArrays>& arrays, std::optional<std::uint64_t> bound) {
  return arrays && n <= kKeyLimit && *bound <= kKeyLimit;
}

// Where each column starts (exclusive sums of the counts) and ends (inclusive).
std::vector<std::uint64_t> Starts(const std::vector<std::uint64_t>& counts) {
  std::vector<std::uint64_t> starts(counts.size());
  std::exclusive_scan(counts.begin(), counts.end(), starts.begin(), std::uint64_t{0});
  return starts;
}
std::vector<std::uint64_t> Ends(const std::vector<std::uint64_t>& counts) {
  std::vector<std::uint64_t> ends(counts.size());
  std::inclusive_scan(counts.begin(), counts.end(), ends.begin());
  return ends;
}

// Turns the first `placed` entries, placed column after column (`counts[j]` of
// column j), into (column, row) keys, as if they had been taken as keys.
void KeysOfPlaced(std::uint64_t placed, const std::vector<std::uint64_t>& counts, double* rows) {
  std::uint64_t at = 0;
  for (std::uint64_t j = 0; at < placed; ++j) {
    for (const std::uint64_t end = at + counts[j]; at < end; ++at) {
      StoreKey(rows + at, DestinationKey(j, static_cast<std::uint64_t>(rows[at]) - 1));
    }
  }
}

// Entries taken as keys end column after column, each column's in the order given:
// every (column, row) key becomes (place, row), `next[j]` being where column j
// starts.
void ChoosePlaces(double* keys, std::uint64_t count, std::vector<std::uint64_t> next) {
  for (std::uint64_t k = 0; k < count; ++k) {
    const std::uint64_t key = LoadKey(keys + k);
    StoreKey(keys + k, DestinationKey(next[KeyDestination(key)]++, KeyRow(key)));
  }
}

// The first pass over entries the stream did not count: each counted in its column
// and, as far as the room set aside holds them, kept: placed, for as long as they
// come column after column; past that, as keys to be moved to their places at the
// end.
class FirstPass {
 public:
  // `arrays` hold room for `room` entries (none without arrays); `keys_fit`: N and
  // the room fit a key's halves.
  FirstPass(std::uint64_t n, const std::optional<ColumnArrays>& arrays, std::uint64_t room, bool keys_fit)
      : counts_(n, 0), arrays_(arrays), room_(room), keys_fit_(keys_fit),
        taking_(arrays ? Taking::kInOrder : Taking::kCountOnly) {}

  void Take(const EntryBlock& block) {
    std::size_t k = 0;
    if (taking_ == Taking::kInOrder) k = TakeInOrder(block);
    if (taking_ == Taking::kKeys) k = TakeKeys(block, k);
    for (; k < block.values.size(); ++k) ++counts_[static_cast<std::uint64_t>(block.columns[k])];
  }

  Taking taking() const { return taking_; }
  const std::vector<std::uint64_t>& counts() const { return counts_; }

 private:
  // Places entries while they come column after column; returns how many of the
  // block it took.
  std::size_t TakeInOrder(const EntryBlock& block) {
    const std::size_t size = block.values.size();
    std::size_t k = 0;
    for (; k < size && block.columns[k] >= last_column_ && placed_ < room_; ++k, ++placed_) {
      last_column_ = block.columns[k];
      ++counts_[static_cast<std::uint64_t>(last_column_)];
      arrays_->row_indices[placed_] = static_cast<double>(block.rows[k] + 1);
      arrays_->values[placed_] = block.values[k];
    }
    if (k < size) {
      taking_ = keys_fit_ && placed_ < room_ ? Taking::kKeys : Taking::kCountOnly;
      if (taking_ == Taking::kKeys) KeysOfPlaced(placed_, counts_, arrays_->row_indices);
    }
    return k;
  }

  // Keeps entries from the block's `k` on as keys while room is left; returns where
  // it stopped.
  std::size_t TakeKeys(const EntryBlock& block, std::size_t k) {
    const std::size_t size = block.values.size();
    const std::size_t end = k + static_cast<std::size_t>(std::min<std::uint64_t>(size - k, room_ - placed_));
    for (; k < end; ++k, ++placed_) {
      const auto column = static_cast<std::uint64_t>(block.columns[k]);
      ++counts_[column];
      StoreKey(arrays_->row_indices + placed_, DestinationKey(column, static_cast<std::uint64_t>(block.rows[k])));
      arrays_->values[placed_] = block.values[k];
    }
    if (k < size) taking_ = Taking::kCountOnly;
    return k;
  }

  std::vector<std::uint64_t> counts_;
  std::optional<ColumnArrays> arrays_;
  std::uint64_t room_;
  bool keys_fit_;
  Taking taking_;
  std::uint64_t placed_ = 0;
  std::int64_t last_column_ = 0;
};

// The second pass: each entry straight to its column's next free place, so a
// column's entries keep the order given. A file changed between the passes must not
// write past a column's room.
void SecondPass(std::uint64_t n, EntryStream& entries, const ColumnArrays& arrays, std::vector<std::uint64_t> next,
                const std::vector<std::uint64_t>& ends, const std::string& source) {
  std::uint64_t placed = 0;
  entries.ForEach([&](const EntryBlock& block) {
    CheckPlaces(block, n, source);
    for (std::size_t k = 0; k < block.values.size(); ++k) {
      const auto column = static_cast<std::uint64_t>(block.columns[k]);
      const std::uint64_t at = next[column]++;
      if (at >= ends[column]) throw InputError(source, kFileChanged);
      arrays.row_indices[at] = static_cast<double>(block.rows[k] + 1);
      arrays.values[at] = block.values[k];
    }
    placed += block.values.size();
  });
  if (placed != ends.back()) throw InputError(source, kFileChanged);
}

// Entries the stream counted first: spread as they come, then moved to their places.
// Returns where each column ends.
std::vector<std::uint64_t> PlaceCounted(std::uint64_t n, EntryStream& entries, CountedRuns& counted,
                                        const ColumnArrays& arrays, unsigned threads, const std::string& source) {
  entries.ForEach([&](const EntryBlock& block) {
    CheckPlaces(block, n, source);
    counted.Spread(block, arrays, source);
  });
  counted.PlaceAll(arrays, threads, source);
  if (counted.ends().back() == 0) ThrowNoStoredEntries(source);
  return counted.ends();
}

// Every entry into `arrays`, each column's in the order given, allocating them where
// the room set aside (if any) was too small. Returns where each column ends.
std::vector<std::uint64_t> PlaceUncounted(std::uint64_t n, EntryStream& entries, const ColumnAllocator& allocate,
                                          std::optional<ColumnArrays>& arrays, std::optional<std::uint64_t> bound,
                                          unsigned threads, const std::string& source) {
  FirstPass first(n, arrays, bound.value_or(0), KeysFit(n, arrays, bound));
  entries.ForEach([&](const EntryBlock& block) {
    CheckPlaces(block, n, source);
    first.Take(block);
  });
  const std::vector<std::uint64_t> ends = Ends(first.counts());
  const std::uint64_t total = n == 0 ? 0 : ends.back();
  if (total == 0) ThrowNoStoredEntries(source);
  if (first.taking() == Taking::kKeys) {
    // Every entry is kept, in the order given: each column's entries go to its room
    // in that order, as the second pass would place them.
    ChoosePlaces(arrays->row_indices, total, Starts(first.counts()));
    PlaceAtDestinations(arrays->row_indices, arrays->values, total, threads);
  } else if (first.taking() == Taking::kCountOnly) {
    if (!arrays || total > *bound) arrays = allocate(n, total);
    SecondPass(n, entries, *arrays, Starts(first.counts()), ends, source);
  }
  return ends;
}

// Room for the stream's bound, where it gives one and it can be set aside.
std::optional<ColumnArrays> AllocateBound(std::uint64_t n, std::optional<std::uint64_t> bound,
                                          const ColumnAllocator& allocate) {
  if (!bound) return std::nullopt;
  try {
    return allocate(n, *bound);
  } catch (const std::bad_alloc&) {
    // A bound far above the entries (a compressed file's, say): count them first.
    return std::nullopt;
  }
}

}  // namespace

PackedSize PackEntries(std::uint64_t n, EntryStream& entries, const ColumnAllocator& allocate, const std::string& source,
                       unsigned threads) {
  const unsigned thread_count = support::ThreadCount(threads);
  const auto bound = entries.EntryBound();
  std::optional<ColumnArrays> arrays = AllocateBound(n, bound, allocate);
  // Entries whose columns the stream can count first are spread as they come.
  std::optional<CountedRuns> counted;
  if (KeysFit(n, arrays, bound)) counted = CountedRuns::Count(entries, n, *bound, thread_count);
  const std::vector<std::uint64_t> ends =
      counted ? PlaceCounted(n, entries, *counted, *arrays, thread_count, source)
              : PlaceUncounted(n, entries, allocate, arrays, bound, thread_count, source);
  return SortMergeAndClose(n, ends, *arrays, thread_count, source);
}

}  // namespace tsneloss::core
