// Y and P handed over as the caller's arrays in memory (NumPy and SciPy arrays, from
// the Python package), read in place and packed straight into the host arrays the
// module takes. Every entry passes FirstFault and is named by its index in the
// caller's arrays; nothing holds all the entries twice.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "core/module_call.hpp"

namespace tsneloss::core {

// A 2-D array of the caller's, read in place: element (i, k) lies at
// data + i * row_stride + k * column_stride bytes, as NumPy's strides say.
template <typename T>
struct StridedMatrix {
  const std::byte* data = nullptr;
  std::uint64_t rows = 0;
  std::uint64_t columns = 0;
  std::int64_t row_stride = 0;
  std::int64_t column_stride = 0;
};

// P compressed as SciPy holds it: the entries of column j (by_columns, CSC) or of
// row j (CSR) are indices[k], data[k] for k from indptr[j] to indptr[j + 1].
template <typename Index, typename Value>
struct CompressedArrays {
  std::uint64_t n = 0;
  bool by_columns = true;
  std::span<const Index> indptr;
  std::span<const Index> indices;
  std::span<const Value> data;
};

// P as zero-based (row, column, value) triplets, SciPy's COO.
template <typename Index, typename Value>
struct CoordinateArrays {
  std::uint64_t n = 0;
  std::span<const Index> rows;
  std::span<const Index> columns;
  std::span<const Value> values;
};

// Y in a host double array, D by N: point after point.
struct HostEmbedding {
  std::uint64_t n = 0;
  std::uint64_t d = 0;
  matrix::ArrayPtr points;
  // The coordinates, point after point.
  const double* coordinates() const;
};

// Copies an N-by-D Y (T double or float) into a host double array. Throws InputError
// naming `source` for no points, no coordinates or, when Z is to be computed, one
// point, and "element k" (NumPy's flat index) at the first coordinate not finite.
template <typename T>
HostEmbedding PackEmbedding(const StridedMatrix<T>& y, bool z_computed, const std::string& source);

// Packs a compressed P. CSC in canonical form (rows increasing within each column) is
// copied in one pass; anything else goes through PackEntries. Throws InputError
// naming `source` for an indptr that is not N + 1 offsets from 0 to nnz, never
// decreasing, for arrays of different lengths, for no entries, and "element k" of
// indices and data at the first entry FirstFault refuses. `threads` as PackEntries
// takes them.
template <typename Index, typename Value>
HostAffinities PackCompressed(const CompressedArrays<Index, Value>& p, const std::string& source,
                              unsigned threads = 0);

// Packs triplets through PackEntries, entries at one position added in the order
// given. Throws InputError as PackCompressed does, "element k" of the three arrays.
template <typename Index, typename Value>
HostAffinities PackCoordinates(const CoordinateArrays<Index, Value>& p, const std::string& source,
                               unsigned threads = 0);

// Packs a dense N-by-N P, zeros left out. Throws InputError naming "element k"
// (NumPy's flat index) at the first value refused, and `source` when P is not square
// or holds no value other than zero.
HostAffinities PackDense(const StridedMatrix<double>& p, const std::string& source);

}  // namespace tsneloss::core
