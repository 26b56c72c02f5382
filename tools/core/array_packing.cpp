#include "core/array_packing.hpp"

#include <sys/mman.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "core/entry_packing.hpp"
#include "core/input_error.hpp"
#include "core/input_messages.hpp"
#include "core/input_rules.hpp"
#include "core/parted_packing.hpp"
#include "core/sparse_columns.hpp"
#include "support/text.hpp"

namespace tsneloss::core {
namespace {

namespace api = matrix::detail::noninlined::vq_array_api;

// Entries handed to PackEntries at a time: the caller's index types widened to
// int64 a block at a time, never all at once.
constexpr std::size_t kBlockEntries = std::size_t{1} << 16;

double* MutableData(const matrix::ArrayPtr& array) { return static_cast<double*>(api::vqGetData(array.get())); }

ColumnArrays AllocateHost(HostAffinities& p, std::uint64_t n, std::uint64_t entries) {
  p.column_counts = NewHostRow(n);
  p.row_indices = NewHostRow(entries);
  p.values = NewHostRow(entries);
  return {MutableData(p.column_counts), MutableData(p.row_indices), MutableData(p.values)};
}

// NumPy's strides need not be multiples of the element size: read through memcpy.
template <typename T>
T At(const StridedMatrix<T>& matrix, std::uint64_t i, std::uint64_t k) {
  T value;
  std::memcpy(&value,
              matrix.data + static_cast<std::int64_t>(i) * matrix.row_stride +
                  static_cast<std::int64_t>(k) * matrix.column_stride,
              sizeof value);
  return value;
}

void CheckSameLength(std::size_t a, std::size_t b, const char* names, const std::string& source) {
  if (a != b) {
    throw InputError(source, std::string(names) + " have different lengths (" + std::to_string(a) + ", " +
                                 std::to_string(b) + ")");
  }
}

template <typename Index>
void CheckIndptr(std::span<const Index> indptr, std::uint64_t n, std::uint64_t nnz, const std::string& source) {
  if (indptr.size() != n + 1) {
    throw InputError(source, "indptr holds " + std::to_string(indptr.size()) + " offsets, not N + 1 = " +
                                 std::to_string(n + 1));
  }
  if (indptr[0] != 0) throw InputError(source, "indptr starts at " + std::to_string(indptr[0]) + ", not 0");
  for (std::uint64_t j = 0; j < n; ++j) {
    if (indptr[j + 1] < indptr[j]) {
      throw InputError(source, "indptr decreases at offset " + std::to_string(j + 1) + " (" +
                                   std::to_string(indptr[j + 1]) + " after " + std::to_string(indptr[j]) + ")");
    }
  }
  if (static_cast<std::uint64_t>(indptr[n]) != nnz) {
    throw InputError(source, "indptr ends at " + std::to_string(indptr[n]) + ", but indices and data hold " +
                                 support::Counted(nnz, "entry", "entries"));
  }
}

// Int64 triplets handed over in blocks; the first pass checks each entry, naming
// its index k in the caller's arrays.
class BlockBuffer {
 public:
  // Room for `entries` at most: a small P should not pay for a block's pages.
  explicit BlockBuffer(std::size_t entries)
      : block_(std::min(entries, kBlockEntries)), rows_(block_), columns_(block_), values_(block_) {}

  void Add(std::int64_t row, std::int64_t column, double value, const std::function<void(const EntryBlock&)>& take) {
    rows_[filled_] = row;
    columns_[filled_] = column;
    values_[filled_] = value;
    if (++filled_ == block_) Flush(take);
  }

  void Flush(const std::function<void(const EntryBlock&)>& take) {
    if (filled_ == 0) return;
    take({{rows_.data(), filled_}, {columns_.data(), filled_}, {values_.data(), filled_}});
    filled_ = 0;
  }

 private:
  std::size_t block_;
  std::vector<std::int64_t> rows_;
  std::vector<std::int64_t> columns_;
  std::vector<double> values_;
  std::size_t filled_ = 0;
};

// A compressed P's entries for PackInParts: a part starts at the row (or column)
// whose run of entries holds its first.
template <typename Index, typename Value>
class CompressedEntries {
 public:
  CompressedEntries(const CompressedArrays<Index, Value>& p, const std::string& source) : p_(p), source_(source) {}

  std::uint64_t size() const { return p_.data.size(); }

  // As SurveyPart's entry-at-a-time survey, faster for rows: the indices' checks and
  // order are gathered without a branch, and the values are left to be checked when
  // next read (they are not read here).
  void Survey(std::uint64_t from, std::uint64_t to, unsigned band_bits, PartSurvey& part) const {
    if (p_.by_columns || from >= to) {
      SurveyEachEntry(*this, from, to, band_bits, part);
      return;
    }
    const Index* const indptr = p_.indptr.data();
    const Index* const indices = p_.indices.data();
    std::uint32_t* const bands = part.bands.data();
    const std::uint64_t n = p_.n;
    bool refused = false;
    bool rising = true;
    auto row = RunHolding(from);
    for (std::uint64_t k = from; k < to; ++row) {
      const std::uint64_t end = std::min<std::uint64_t>(to, static_cast<std::uint64_t>(indptr[row + 1]));
      std::uint64_t previous = ~std::uint64_t{0};
      for (; k < end; ++k) {
        const auto column = static_cast<std::uint64_t>(static_cast<std::int64_t>(indices[k]));
        const bool inside = column < n;
        refused |= !inside;
        rising &= previous == ~std::uint64_t{0} || column > previous;
        ++bands[(inside ? column : 0) >> band_bits];
        previous = column;
      }
    }
    if (refused) ThrowFirstFault(*this, to);
    const std::uint64_t first_row = RunHolding(from);
    const std::uint64_t last_row = RunHolding(to - 1);
    part.TakeIndicesOnly(to - from, first_row, static_cast<std::uint64_t>(indices[from]), last_row,
                         static_cast<std::uint64_t>(indices[to - 1]), rising, first_row == last_row && rising);
  }

  template <bool kCheck, typename Take>
  void Visit(std::uint64_t from, std::uint64_t to, Take&& take) const {
    if (p_.by_columns) {
      VisitRuns<kCheck, true>(from, to, take);
    } else {
      VisitRuns<kCheck, false>(from, to, take);
    }
  }

 private:
  // The outer index (a column, or a row) whose run holds entry k.
  std::uint64_t RunHolding(std::uint64_t k) const {
    const auto after = std::upper_bound(p_.indptr.begin(), p_.indptr.end(), static_cast<Index>(k));
    return static_cast<std::uint64_t>(after - p_.indptr.begin()) - 1;
  }

  // Run after run of one outer index (a column, or a row), from the run holding `from`.
  template <bool kCheck, bool kByColumns, typename Take>
  void VisitRuns(std::uint64_t from, std::uint64_t to, Take& take) const {
    if (from >= to) return;
    const Index* const indptr = p_.indptr.data();
    const Index* const indices = p_.indices.data();
    const Value* const data = p_.data.data();
    auto outer = RunHolding(from);
    for (std::uint64_t k = from; k < to; ++outer) {
      const std::uint64_t end = std::min<std::uint64_t>(to, static_cast<std::uint64_t>(indptr[outer + 1]));
      for (; k < end; ++k) {
        const auto inner = static_cast<std::int64_t>(indices[k]);
        const std::int64_t row = kByColumns ? inner : static_cast<std::int64_t>(outer);
        const std::int64_t column = kByColumns ? static_cast<std::int64_t>(outer) : inner;
        const auto value = static_cast<double>(data[k]);
        if constexpr (kCheck) CheckElement(k, row, column, value, p_.n, source_);
        take(static_cast<std::uint64_t>(row), static_cast<std::uint64_t>(column), value);
      }
    }
  }

  const CompressedArrays<Index, Value>& p_;
  const std::string& source_;
};

template <typename Index, typename Value>
class CoordinateEntries {
 public:
  CoordinateEntries(const CoordinateArrays<Index, Value>& p, const std::string& source) : p_(p), source_(source) {}

  std::uint64_t size() const { return p_.values.size(); }

  // As SurveyPart's entry-at-a-time survey, with the indices' checks and order
  // gathered without a branch, and the values left to be checked when next read.
  void Survey(std::uint64_t from, std::uint64_t to, unsigned band_bits, PartSurvey& part) const {
    if (from >= to) return;
    const Index* const rows = p_.rows.data();
    const Index* const columns = p_.columns.data();
    std::uint32_t* const bands = part.bands.data();
    const std::uint64_t n = p_.n;
    bool refused = false;
    bool row_major = true;
    bool column_order = true;
    auto previous_row = static_cast<std::uint64_t>(static_cast<std::int64_t>(rows[from]));
    auto previous_column = static_cast<std::uint64_t>(static_cast<std::int64_t>(columns[from]));
    for (std::uint64_t k = from; k < to; ++k) {
      const auto row = static_cast<std::uint64_t>(static_cast<std::int64_t>(rows[k]));
      const auto column = static_cast<std::uint64_t>(static_cast<std::int64_t>(columns[k]));
      const bool inside = row < n && column < n;
      refused |= !inside;
      const bool first = k == from;
      row_major &= first || row > previous_row || (row == previous_row && column > previous_column);
      column_order &= column >= previous_column;
      ++bands[(inside ? column : 0) >> band_bits];
      previous_row = row;
      previous_column = column;
    }
    if (refused) ThrowFirstFault(*this, to);
    part.TakeIndicesOnly(to - from, static_cast<std::uint64_t>(rows[from]), static_cast<std::uint64_t>(columns[from]),
                         previous_row, previous_column, row_major, column_order);
  }

  template <bool kCheck, typename Take>
  void Visit(std::uint64_t from, std::uint64_t to, Take&& take) const {
    for (std::uint64_t k = from; k < to; ++k) {
      const auto row = static_cast<std::int64_t>(p_.rows[k]);
      const auto column = static_cast<std::int64_t>(p_.columns[k]);
      const auto value = static_cast<double>(p_.values[k]);
      if constexpr (kCheck) CheckElement(k, row, column, value, p_.n, source_);
      take(static_cast<std::uint64_t>(row), static_cast<std::uint64_t>(column), value);
    }
  }

 private:
  const CoordinateArrays<Index, Value>& p_;
  const std::string& source_;
};

// Entries handed over in blocks, for a P too large for PackInParts' 32-bit places;
// the first pass checks each entry, naming its index k in the caller's arrays.
template <typename Entries>
class BlockStream final : public EntryStream {
 public:
  explicit BlockStream(const Entries& entries) : entries_(entries) {}

  void ForEach(const std::function<void(const EntryBlock&)>& take) override {
    BlockBuffer buffer(entries_.size());
    const auto add = [&](std::uint64_t row, std::uint64_t column, double value) {
      buffer.Add(static_cast<std::int64_t>(row), static_cast<std::int64_t>(column), value, take);
    };
    if (checked_) {
      entries_.template Visit<false>(0, entries_.size(), add);
    } else {
      entries_.template Visit<true>(0, entries_.size(), add);
    }
    buffer.Flush(take);
    checked_ = true;
  }

  std::optional<std::uint64_t> EntryBound() const override { return entries_.size(); }

 private:
  Entries entries_;
  bool checked_ = false;
};

// Places and keys hold 32 bits.
bool PartsFit(std::uint64_t n, std::uint64_t entries) {
  constexpr std::uint64_t kLimit = std::uint64_t{1} << 32;
  return n <= kLimit && entries < kLimit;
}

template <typename Entries>
HostAffinities PackEntriesInParts(std::uint64_t n, const Entries& entries, const std::string& source,
                                  unsigned threads) {
  HostAffinities p;
  p.n = n;
  const PackedSize size = PackInParts(entries, n, AllocateHost(p, n, entries.size()), threads, source);
  p.nnz = size.nnz;
  p.merged_positions = size.merged_positions;
  return p;
}

HostAffinities PackStream(std::uint64_t n, EntryStream& entries, const std::string& source, unsigned threads) {
  HostAffinities p;
  p.n = n;
  const PackedSize size = PackEntries(
      n, entries, [&](std::uint64_t order, std::uint64_t count) { return AllocateHost(p, order, count); }, source,
      threads);
  p.nnz = size.nnz;
  p.merged_positions = size.merged_positions;
  return p;
}

// CSC with rows increasing in every column is already the module's layout: counts
// from indptr, rows one-based. False at the first column that is not in order (the
// arrays are then left for PackEntries to fill again).
template <typename Index, typename Value>
bool PackCanonicalColumns(const CompressedArrays<Index, Value>& p, const ColumnArrays& out, const std::string& source) {
  for (std::uint64_t j = 0; j < p.n; ++j) {
    const auto begin = static_cast<std::uint64_t>(p.indptr[j]);
    const auto end = static_cast<std::uint64_t>(p.indptr[j + 1]);
    out.column_counts[j] = static_cast<double>(end - begin);
    std::int64_t previous = -1;
    for (std::uint64_t k = begin; k < end; ++k) {
      const auto row = static_cast<std::int64_t>(p.indices[k]);
      const auto value = static_cast<double>(p.data[k]);
      CheckElement(k, row, static_cast<std::int64_t>(j), value, p.n, source);
      if (row <= previous) return false;
      previous = row;
      out.row_indices[k] = static_cast<double>(row + 1);
      out.values[k] = value;
    }
  }
  return true;
}

}  // namespace

const double* HostEmbedding::coordinates() const { return ArrayData(points); }

template <typename T>
HostEmbedding PackEmbedding(const StridedMatrix<T>& y, bool z_computed, const std::string& source) {
  CheckPointCount(y.rows, y.columns, z_computed, source);
  HostEmbedding packed{y.rows, y.columns, matrix::ArrayPtr(api::vqCreateNumericMatrix(y.columns, y.rows, vqDOUBLE_CLASS, vqREAL))};
  double* to = AdviseHugePages(MutableData(packed.points), y.rows * y.columns);
  for (std::uint64_t i = 0; i < y.rows; ++i) {
    for (std::uint64_t k = 0; k < y.columns; ++k) {
      const auto value = static_cast<double>(At(y, i, k));
      if (!std::isfinite(value)) throw InputError::AtElement(source, i * y.columns + k, CoordinateFault(value));
      to[i * y.columns + k] = value;
    }
  }
  return packed;
}

template <typename Index, typename Value>
HostAffinities PackCompressed(const CompressedArrays<Index, Value>& p, const std::string& source, unsigned threads) {
  CheckSameLength(p.indices.size(), p.data.size(), "indices and data", source);
  CheckIndptr(p.indptr, p.n, p.data.size(), source);
  if (p.data.empty()) ThrowNoStoredEntries(source);
  if (p.by_columns) {
    HostAffinities packed;
    packed.n = p.n;
    packed.nnz = p.data.size();
    if (PackCanonicalColumns(p, AllocateHost(packed, p.n, p.data.size()), source)) return packed;
  }
  const CompressedEntries entries(p, source);
  if (PartsFit(p.n, p.data.size())) return PackEntriesInParts(p.n, entries, source, threads);
  BlockStream stream(entries);
  return PackStream(p.n, stream, source, threads);
}

template <typename Index, typename Value>
HostAffinities PackCoordinates(const CoordinateArrays<Index, Value>& p, const std::string& source,
                               unsigned threads) {
  CheckSameLength(p.rows.size(), p.columns.size(), "rows and columns", source);
  CheckSameLength(p.rows.size(), p.values.size(), "rows and values", source);
  if (p.values.empty()) ThrowNoStoredEntries(source);
  const CoordinateEntries entries(p, source);
  if (PartsFit(p.n, p.values.size())) return PackEntriesInParts(p.n, entries, source, threads);
  BlockStream stream(entries);
  return PackStream(p.n, stream, source, threads);
}

HostAffinities PackDense(const StridedMatrix<double>& p, const std::string& source) {
  if (p.rows != p.columns) {
    throw InputError(source, NotSquare(p.rows, p.columns));
  }
  const std::uint64_t n = p.rows;
  // First pass: check in NumPy's flat order and count each column's non-zeros.
  std::vector<std::uint64_t> next(n + 1, 0);
  for (std::uint64_t i = 0; i < n; ++i) {
    for (std::uint64_t j = 0; j < n; ++j) {
      const double value = At(p, i, j);
      if (!AffinityAllowed(value)) throw InputError::AtElement(source, i * n + j, AffinityFault(value));
      if (value != 0) ++next[j + 1];
    }
  }
  for (std::uint64_t j = 0; j < n; ++j) next[j + 1] += next[j];
  if (next[n] == 0) ThrowNoStoredEntries(source);
  HostAffinities packed;
  packed.n = n;
  packed.nnz = next[n];
  const ColumnArrays out = AllocateHost(packed, n, next[n]);
  for (std::uint64_t j = 0; j < n; ++j) out.column_counts[j] = static_cast<double>(next[j + 1] - next[j]);
  // Second pass, row after row: rows come out increasing within each column.
  for (std::uint64_t i = 0; i < n; ++i) {
    for (std::uint64_t j = 0; j < n; ++j) {
      const double value = At(p, i, j);
      if (value == 0) continue;
      const std::uint64_t at = next[j]++;
      out.row_indices[at] = static_cast<double>(i + 1);
      out.values[at] = value;
    }
  }
  return packed;
}

template HostEmbedding PackEmbedding(const StridedMatrix<double>&, bool, const std::string&);
template HostEmbedding PackEmbedding(const StridedMatrix<float>&, bool, const std::string&);
template HostAffinities PackCompressed(const CompressedArrays<std::int32_t, double>&, const std::string&, unsigned);
template HostAffinities PackCompressed(const CompressedArrays<std::int32_t, float>&, const std::string&, unsigned);
template HostAffinities PackCompressed(const CompressedArrays<std::int64_t, double>&, const std::string&, unsigned);
template HostAffinities PackCompressed(const CompressedArrays<std::int64_t, float>&, const std::string&, unsigned);
template HostAffinities PackCoordinates(const CoordinateArrays<std::int32_t, double>&, const std::string&, unsigned);
template HostAffinities PackCoordinates(const CoordinateArrays<std::int32_t, float>&, const std::string&, unsigned);
template HostAffinities PackCoordinates(const CoordinateArrays<std::int64_t, double>&, const std::string&, unsigned);
template HostAffinities PackCoordinates(const CoordinateArrays<std::int64_t, float>&, const std::string&, unsigned);

}  // namespace tsneloss::core
