// The entries of a sparse .npz archive read chunk after chunk: 'data' with 'row' and
// 'col' (coo), or with 'indices' and the outer index from 'indptr' (csr, csc). Every
// entry is checked as its chunk is read; every member is read to its end, so that its
// CRC-32 is checked before any entry's fault is reported.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "formats/npz_array.hpp"
#include "formats/zip_archive.hpp"

namespace tsneloss::formats {

// One chunk of entries as read: the indices, in the archive's terms, and values.
struct NpzChunk {
  std::vector<std::int64_t> outer;  // col (coo), or the row or column from indptr
  std::vector<std::int64_t> inner;  // row (coo), or 'indices'
  std::vector<double> values;
};

class NpzChunkReader {
 public:
  // Opens the arrays of an N-by-N P, `compressed` (csr, csc) or not (coo), and checks
  // that their lengths agree and, for compressed ones, indptr. Throws InputError.
  NpzChunkReader(const ZipArchive& archive, std::uint64_t n, bool compressed, std::size_t chunk_entries);

  std::uint64_t entries() const { return entries_; }
  // Reads and checks the chunk of entries from `start` on (chunks in order, each
  // `chunk_entries` long but the last), throwing its first fault.
  void Read(std::uint64_t start, NpzChunk& chunk);

 private:
  void ReadIndices(std::uint64_t start, std::size_t count, NpzChunk& chunk);
  // The array read first (row, or indices) is checked first.
  void CheckEntries(std::uint64_t start, const NpzChunk& chunk);
  // A member's CRC-32 is checked with its last byte: a fault met before that may
  // come of corrupt data, which is then the fault to report.
  void FinishAll();

  const std::string& name_;
  std::uint64_t n_;
  std::size_t chunk_entries_;
  NpzArray data_;
  NpzArray first_;                    // row (coo), or indices
  std::unique_ptr<NpzArray> second_;  // col (coo)
  std::vector<std::int64_t> pointers_;  // indptr (csr, csc)
  std::uint64_t entries_;
  std::uint64_t outer_index_ = 0;
};

}  // namespace tsneloss::formats
