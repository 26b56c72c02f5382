// P's entries as a reader hands them over, block after block, in the order given, and
// their packing into columns. Where the stream bounds its entries, one pass keeps them
// all in the caller's arrays, in the order given, and moves them to their columns in
// place (spread roughly as they come, where the stream can count its columns before);
// otherwise one pass checks and counts, a second places each entry straight where the
// caller's arrays want it. Nothing holds all the entries twice, so packing a
// P costs little more than the packed arrays.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>

namespace tsneloss::core {

// Entries at zero-based positions, already checked by the reader.
struct EntryBlock {
  std::span<const std::int64_t> rows;
  std::span<const std::int64_t> columns;
  std::span<const double> values;
};

class EntryStream {
 public:
  virtual ~EntryStream() = default;
  // Hands every entry over in the given order, block after block. The first call
  // checks the entries and throws InputError at the first fault; later calls give the
  // same entries again.
  virtual void ForEach(const std::function<void(const EntryBlock&)>& take) = 0;
  // At least as many entries as ForEach hands over, where the file's own size bounds
  // that number (so room for it may be set aside before reading); nullopt otherwise.
  virtual std::optional<std::uint64_t> EntryBound() const { return std::nullopt; }
  // Where the stream can count each column's entries for much less than handing them
  // over (from an archive's column indices alone, say), and they do not come column
  // after column: adds column j's entries to counts[j] (counts has N places), on up
  // to `threads` threads, and returns true. Returns false otherwise, counts then in
  // any state. Reports no fault: ForEach reports each where it lies.
  virtual bool CountColumns(std::span<std::uint64_t> /*counts*/, unsigned /*threads*/) { return false; }
};

// Where the packed P goes, laid out for the module: N column counts, then row indices
// (one-based) and values, each with room for `entries`.
struct ColumnArrays {
  double* column_counts;
  double* row_indices;
  double* values;
};
using ColumnAllocator = std::function<ColumnArrays(std::uint64_t n, std::uint64_t entries)>;

struct PackedSize {
  std::uint64_t nnz = 0;                // positions stored, after merging
  std::uint64_t merged_positions = 0;   // positions given more than once
};

// Packs an N-by-N P column after column, rows increasing within a column, entries at
// one position added together in the order given. Allocates once, for all the entries
// given or for the stream's bound (merging only shortens what is used). With a bound
// whose room could be set aside, the entries are read once, in any order: those that
// come column after column are placed as they come, and where the stream counts its
// columns first, entries in any other order are spread to their runs as they come.
// Throws InputError naming `source` for no entries at all, for repeated values that
// add up past the largest double, and for a file that changed while it was read.
// Columns are counted, moved and sorted on `threads` threads (0: one per processor).
PackedSize PackEntries(std::uint64_t n, EntryStream& entries, const ColumnAllocator& allocate, const std::string& source,
                       unsigned threads = 0);

}  // namespace tsneloss::core
