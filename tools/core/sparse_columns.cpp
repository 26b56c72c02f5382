#include "core/sparse_columns.hpp"

#include <cmath>

#include "core/input_error.hpp"
#include "core/input_rules.hpp"

namespace tsneloss::core {
namespace {

void CheckEntries(std::uint64_t n, std::span<const std::int64_t> rows, std::span<const std::int64_t> columns,
                  std::span<const double> values, const std::string& source) {
  if (rows.size() != columns.size() || rows.size() != values.size()) {
    throw InputError(source, "rows, columns and values have different lengths (" + std::to_string(rows.size()) + ", " +
                                 std::to_string(columns.size()) + ", " + std::to_string(values.size()) + ")");
  }
  if (values.empty()) ThrowNoStoredEntries(source);
  for (std::size_t k = 0; k < values.size(); ++k) {
    CheckElement(k, rows[k], columns[k], values[k], n, source);
  }
}

// Triplets already checked, handed over as one block.
class TripletStream : public EntryStream {
 public:
  explicit TripletStream(EntryBlock block) : block_(block) {}
  void ForEach(const std::function<void(const EntryBlock&)>& take) override { take(block_); }

 private:
  EntryBlock block_;
};

}  // namespace

void ThrowEntryFault(EntryPart part, std::uint64_t k, std::int64_t row, std::int64_t column, double value,
                     std::uint64_t n, const std::string& source) {
  switch (part) {
    case EntryPart::kRow:
      throw InputError::AtElement(source, k, "row " + OutsideRange(std::to_string(row), n, false));
    case EntryPart::kColumn:
      throw InputError::AtElement(source, k, "column " + OutsideRange(std::to_string(column), n, false));
    case EntryPart::kValue:
    case EntryPart::kNone:
      break;
  }
  throw InputError::AtElement(source, k, AffinityFault(value));
}

SparseColumns PackIntoVectors(std::uint64_t n, EntryStream& entries, const std::string& source) {
  SparseColumns p;
  p.n = n;
  const PackedSize size = PackEntries(
      n, entries,
      [&](std::uint64_t order, std::uint64_t count) {
        p.column_counts.assign(order, 0.0);
        p.row_indices.resize(count);
        p.values.resize(count);
        return ColumnArrays{p.column_counts.data(), p.row_indices.data(), p.values.data()};
      },
      source);
  p.row_indices.resize(size.nnz);
  p.values.resize(size.nnz);
  p.row_indices.shrink_to_fit();
  p.values.shrink_to_fit();
  p.merged_positions = size.merged_positions;
  return p;
}

SparseColumns PackColumns(std::uint64_t n, std::span<const std::int64_t> rows, std::span<const std::int64_t> columns,
                          std::span<const double> values, const std::string& source) {
  CheckEntries(n, rows, columns, values, source);
  TripletStream stream({rows, columns, values});
  return PackIntoVectors(n, stream, source);
}

}  // namespace tsneloss::core
