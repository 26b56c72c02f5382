// P's entries held in memory (the caller's arrays), packed on all threads. The
// entries are cut into parts, one a thread, and each part counts its columns first:
// then every entry's place is known before any moves (its column's next, the parts
// taken in order, so a column's entries keep the order given), and each part writes
// its entries into the runs of places the command line's packing spreads them to, at
// slots of its own. The runs are then placed, sorted and merged as there.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/column_merge.hpp"
#include "core/destination_sort.hpp"
#include "core/entry_packing.hpp"
#include "support/parallel.hpp"

namespace tsneloss::core {

// Below this many entries one thread packs them: starting threads would cost more.
inline constexpr std::uint64_t kPartedFrom = std::uint64_t{1} << 16;

// The parts `entries` are cut into: one per thread from kPartedFrom entries on, and
// no more than leaves each part's N column counts fewer than its entries.
unsigned PartCount(std::uint64_t entries, std::uint64_t n, unsigned threads);

// The first entry of part `part` of `parts`.
inline std::uint64_t PartStart(std::uint64_t entries, unsigned part, unsigned parts) {
  return entries * part / parts;
}

// What counting one part's columns found.
struct PartCounts {
  std::vector<std::uint32_t> columns;  // each column's entries in the part
  std::uint64_t entries = 0;
  std::uint64_t first = 0;             // the part's first column, and last
  std::uint64_t last = 0;
  bool in_order = true;                // columns never decrease within the part
};

// True where the entries, all parts taken in turn, come column after column.
bool ColumnAfterColumn(const std::vector<PartCounts>& parts);

// Where each column ends, all parts' entries counted.
std::vector<std::uint64_t> ColumnEnds(const std::vector<PartCounts>& parts, std::uint64_t n);

// Each part's next place in every column and next slot in every run. Built from the
// counts, which it takes over.
class PartedRuns {
 public:
  PartedRuns(std::vector<PartCounts> parts, std::uint64_t n);

  unsigned run_bits() const { return run_bits_; }
  // Part p's next place in each column and next slot in each run.
  std::vector<std::uint32_t>& next_places(unsigned part) { return parts_[part].columns; }
  std::vector<std::uint64_t>& heads(unsigned part) { return heads_[part]; }

 private:
  std::vector<PartCounts> parts_;
  std::vector<std::vector<std::uint64_t>> heads_;
  unsigned run_bits_ = 0;
};

// Packs the entries of `entries` into `arrays` (room for all of them), as PackEntries
// packs the same entries in the same order. `Entries` has size() and
// Visit<check>(from, to, take), which hands entries from..to - 1 over in order as
// take(row, column, value), zero-based, checking each first where `check` says,
// throwing InputError at the first fault. Entries are checked once, as counted. N and the entries must be below 2^32. `source` names faults of
// merging; faults of entries are the lowest part's first.
template <typename Entries>
PackedSize PackInParts(const Entries& entries, std::uint64_t n, const ColumnArrays& arrays, unsigned threads,
                       const std::string& source) {
  const std::uint64_t size = entries.size();
  threads = support::ThreadCount(threads);
  const unsigned parts = PartCount(size, n, threads);
  const support::Parallel on_parts{parts, {}};
  std::vector<PartCounts> counts(parts);
  support::ParallelFor(parts, on_parts, [&](std::size_t p, unsigned) {
    PartCounts& part = counts[p];
    part.columns.assign(n, 0);
    entries.template Visit<true>(PartStart(size, p, parts), PartStart(size, p + 1, parts),
                                 [&](std::uint64_t, std::uint64_t column, double) {
                    ++part.columns[column];
                    if (part.entries++ == 0) part.first = column;
                    part.in_order = part.in_order && column >= part.last;
                    part.last = column;
                  });
  });
  const std::vector<std::uint64_t> ends = ColumnEnds(counts, n);
  if (ColumnAfterColumn(counts)) {
    // Every entry's place is its own index.
    support::ParallelFor(parts, on_parts, [&](std::size_t p, unsigned) {
      std::uint64_t at = PartStart(size, p, parts);
      entries.template Visit<false>(at, PartStart(size, p + 1, parts), [&](std::uint64_t row, std::uint64_t, double value) {
        arrays.row_indices[at] = static_cast<double>(row + 1);
        arrays.values[at++] = value;
      });
    });
  } else {
    PartedRuns runs(std::move(counts), n);
    support::ParallelFor(parts, on_parts, [&](std::size_t p, unsigned) {
      std::uint32_t* next = runs.next_places(static_cast<unsigned>(p)).data();
      std::uint64_t* heads = runs.heads(static_cast<unsigned>(p)).data();
      const unsigned run_bits = runs.run_bits();
      double* const rows = arrays.row_indices;
      double* const values = arrays.values;
      entries.template Visit<false>(PartStart(size, p, parts), PartStart(size, p + 1, parts),
                                    [&](std::uint64_t row, std::uint64_t column, double value) {
                                      const std::uint64_t place = next[column]++;
                                      const std::uint64_t slot = heads[place >> run_bits]++;
                                      StoreKey(rows + slot, DestinationKey(place, row));
                                      values[slot] = value;
                                    });
    });
    PlaceWithinRuns(arrays.row_indices, arrays.values, size, runs.run_bits(), threads);
  }
  return SortMergeAndClose(n, ends, arrays, threads, source);
}


}  // namespace tsneloss::core
