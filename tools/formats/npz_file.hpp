// Reading P from a sparse matrix saved by SciPy's save_npz: a .npz (zip) archive of
// .npy arrays, stored or deflated, holding 'format' (csr, csc or coo), 'shape' and
// 'data' with 'indices' and 'indptr' (csr, csc) or 'row' and 'col' (coo). Arrays are
// streamed from the archive, never loaded whole, and each is read to its end so that
// its CRC-32 is checked; a corrupt member is the fault reported before any entry's.
// A stored csr or coo archive's column indices can be counted before the entries are
// read, so that the packer places entries that come row after row as they come.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "core/entry_packing.hpp"
#include "formats/input_source.hpp"
#include "formats/matrix_market.hpp"

namespace tsneloss::formats {

// How an archive's entries are read: in chunks, each read while the one before is
// taken; a stored archive's column indices are counted on several threads from
// `parallel_count_from` indices on. Tests take small sizes to reach every boundary.
struct NpzChunking {
  std::size_t entries = std::size_t{1} << 18;
  std::uint64_t parallel_count_from = std::uint64_t{1} << 22;
};

class NpzStream : public core::EntryStream {
 public:
  // Reads the archive's directory, format and shape, and checks the shape against the
  // embedding. Throws InputError; faults in an array are named "element k of 'name'".
  NpzStream(InputSource& source, const core::EmbeddingShape& embedding, const NpzChunking& chunking = {});
  ~NpzStream() override;
  std::uint64_t n() const;
  void ForEach(const std::function<void(const core::EntryBlock&)>& take) override;
  std::optional<std::uint64_t> EntryBound() const override;
  // Counts from the column indices alone, for a stored csr or coo archive whose
  // entries do not come column after column.
  bool CountColumns(std::span<std::uint64_t> counts, unsigned threads) override;

  struct State;

 private:
  std::unique_ptr<State> state_;
};

}  // namespace tsneloss::formats
