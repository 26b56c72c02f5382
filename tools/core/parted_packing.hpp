// P's entries held in memory (the caller's arrays), packed on all threads. The
// entries are cut into parts, one a thread, and each part is first surveyed: checked,
// its entries counted by band of columns, and their order noted. Entries that come
// row after row (canonical CSR) are then packed by bands (band_packing.hpp), with
// nothing to sort. Others have their columns counted, so that every entry's place is
// known before any moves (its column's next, the parts taken in order, so a column's
// entries keep the order given), and each part writes its entries into the runs of
// places the command line's packing spreads them to, at slots of its own. The runs
// are then placed, sorted and merged as there.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/band_packing.hpp"
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

// What the first look at one part's entries found: its entries in each band of
// columns, and the order they come in.
struct PartSurvey {
  std::vector<std::uint32_t> bands;  // each band's entries in the part
  std::uint64_t entries = 0;
  std::uint64_t first_row = 0;       // the part's first entry, and last
  std::uint64_t first_column = 0;
  std::uint64_t last_row = 0;
  std::uint64_t last_column = 0;
  bool column_order = true;          // columns never decrease within the part
  bool row_major = true;             // rows never decrease, columns rise within a row
  bool values_checked = true;        // false: only the indices were, the values are still to be

  void Take(std::uint64_t row, std::uint64_t column, unsigned band_bits) {
    ++bands[column >> band_bits];
    if (entries++ == 0) {
      first_row = row;
      first_column = column;
    } else {
      column_order = column_order && column >= last_column;
      row_major = row_major && (row > last_row || (row == last_row && column > last_column));
    }
    last_row = row;
    last_column = column;
  }

  // Records a survey that read the indices alone (its bands already counted): the
  // values are left for the next visit to check.
  void TakeIndicesOnly(std::uint64_t count, std::uint64_t first_row_taken, std::uint64_t first_column_taken,
                       std::uint64_t last_row_taken, std::uint64_t last_column_taken, bool rows_first,
                       bool columns_first) {
    entries = count;
    first_row = first_row_taken;
    first_column = first_column_taken;
    last_row = last_row_taken;
    last_column = last_column_taken;
    row_major = rows_first;
    column_order = columns_first;
    values_checked = false;
  }
};

// True where the entries, all parts taken in turn, come column after column.
bool ColumnAfterColumn(const std::vector<PartSurvey>& parts);

// True where the entries, all parts taken in turn, come row after row with columns
// rising within each row.
bool RowAfterRow(const std::vector<PartSurvey>& parts);

// Surveys entries from..to - 1 into `part` (its bands sized), checking each: through
// the entries' own Survey(from, to, band_bits, part) where they have one, else one
// entry at a time (SurveyEachEntry).
template <typename Entries>
void SurveyEachEntry(const Entries& entries, std::uint64_t from, std::uint64_t to, unsigned band_bits,
                     PartSurvey& part) {
  entries.template Visit<true>(from, to, [&](std::uint64_t row, std::uint64_t column, double) {
    part.Take(row, column, band_bits);
  });
}

// Where a survey of the indices alone refused one among entries ..to - 1: checks
// every entry from the very first, which throws at the first fault of all (the parts
// before left their values unchecked).
template <typename Entries>
void ThrowFirstFault(const Entries& entries, std::uint64_t to) {
  entries.template Visit<true>(0, to, [](std::uint64_t, std::uint64_t, double) {});
}

template <typename Entries>
void SurveyPart(const Entries& entries, std::uint64_t from, std::uint64_t to, unsigned band_bits, PartSurvey& part) {
  if constexpr (requires { entries.Survey(from, to, band_bits, part); }) {
    entries.Survey(from, to, band_bits, part);
  } else {
    SurveyEachEntry(entries, from, to, band_bits, part);
  }
}

// Each part's entries in each of N columns.
using ColumnCounts = std::vector<std::vector<std::uint32_t>>;

// Where each column ends, all parts' entries counted.
std::vector<std::uint64_t> ColumnEnds(const ColumnCounts& parts, std::uint64_t n);

// Each part's next place in every column and next slot in every run. Built from the
// counts, which it takes over.
class PartedRuns {
 public:
  PartedRuns(ColumnCounts parts, std::uint64_t n);

  unsigned run_bits() const { return run_bits_; }
  // Part p's next place in each column and next slot in each run.
  std::vector<std::uint32_t>& next_places(unsigned part) { return parts_[part]; }
  std::vector<std::uint64_t>& heads(unsigned part) { return heads_[part]; }

 private:
  ColumnCounts parts_;
  std::vector<std::vector<std::uint64_t>> heads_;
  unsigned run_bits_ = 0;
};

// The parts of `entries` and how they were surveyed; Visit(p, take) visits part p's
// entries again, checking what its survey left unchecked.
template <typename Entries>
class SurveyedParts {
 public:
  SurveyedParts(const Entries& entries, std::uint64_t n, unsigned parts, unsigned band_bits)
      : entries_(entries), size_(entries.size()), parts_(parts), surveys_(parts) {
    support::ParallelFor(parts, {parts, {}}, [&](std::size_t p, unsigned) {
      PartSurvey& part = surveys_[p];
      part.bands.assign(BandCount(n, band_bits), 0);
      SurveyPart(entries, from(p), from(p + 1), band_bits, part);
    });
  }

  std::uint64_t from(std::size_t p) const { return PartStart(size_, static_cast<unsigned>(p), parts_); }
  std::vector<PartSurvey>& surveys() { return surveys_; }

  template <typename Take>
  void Visit(std::size_t p, Take&& take) const {
    if (surveys_[p].values_checked) {
      entries_.template Visit<false>(from(p), from(p + 1), take);
    } else {
      entries_.template Visit<true>(from(p), from(p + 1), take);
    }
  }

 private:
  const Entries& entries_;
  std::uint64_t size_;
  unsigned parts_;
  std::vector<PartSurvey> surveys_;
};

// Packs row-major entries (RowAfterRow) by bands: spread, then placed.
template <typename Entries>
PackedSize PackRowAfterRow(SurveyedParts<Entries>& parts, std::uint64_t n, unsigned band_bits,
                           const ColumnArrays& arrays, unsigned threads) {
  std::vector<std::vector<std::uint32_t>> band_counts;
  std::uint64_t size = 0;
  for (PartSurvey& part : parts.surveys()) {
    band_counts.push_back(std::move(part.bands));
    size += part.entries;
  }
  BandSlots slots(band_counts);
  support::ParallelFor(band_counts.size(), {static_cast<unsigned>(band_counts.size()), {}},
                       [&](std::size_t p, unsigned) {
                         BandSpreader spreader(std::move(slots.heads(static_cast<unsigned>(p))), band_bits, arrays);
                         parts.Visit(p, [&](std::uint64_t row, std::uint64_t column, double value) {
                           spreader.Add(row, column, value);
                         });
                         spreader.Finish();
                       });
  PlaceBands(n, band_bits, slots.begins(), arrays, threads);
  return {size, 0};
}

// Packs the entries of `entries` into `arrays` (room for all of them), as PackEntries
// packs the same entries in the same order. `Entries` has size() and
// Visit<check>(from, to, take), which hands entries from..to - 1 over in order as
// take(row, column, value), zero-based, checking each first where `check` says,
// throwing InputError at the first fault; and may have Survey (see SurveyPart).
// Entries are checked once. N and the entries must be below 2^32. `source` names
// faults of merging; faults of entries are the lowest part's first.
template <typename Entries>
PackedSize PackInParts(const Entries& entries, std::uint64_t n, const ColumnArrays& arrays, unsigned threads,
                       const std::string& source) {
  const std::uint64_t size = entries.size();
  threads = support::ThreadCount(threads);
  const unsigned parts = PartCount(size, n, threads);
  const support::Parallel on_parts{parts, {}};
  const unsigned band_bits = BandBits(n, size);
  SurveyedParts<Entries> surveyed(entries, n, parts, band_bits);
  if (RowAfterRow(surveyed.surveys())) return PackRowAfterRow(surveyed, n, band_bits, arrays, threads);
  ColumnCounts counts(parts);
  support::ParallelFor(parts, on_parts, [&](std::size_t p, unsigned) {
    counts[p].assign(n, 0);
    surveyed.Visit(p, [&](std::uint64_t, std::uint64_t column, double) { ++counts[p][column]; });
  });
  const std::vector<std::uint64_t> ends = ColumnEnds(counts, n);
  if (ColumnAfterColumn(surveyed.surveys())) {
    // Every entry's place is its own index.
    support::ParallelFor(parts, on_parts, [&](std::size_t p, unsigned) {
      std::uint64_t at = surveyed.from(p);
      entries.template Visit<false>(at, surveyed.from(p + 1), [&](std::uint64_t row, std::uint64_t, double value) {
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
      entries.template Visit<false>(surveyed.from(p), surveyed.from(p + 1),
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
