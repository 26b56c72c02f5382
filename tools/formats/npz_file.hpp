// Reading P from a sparse matrix saved by SciPy's save_npz: a .npz (zip) archive of
// .npy arrays, stored or deflated, holding 'format' (csr, csc or coo), 'shape' and
// 'data' with 'indices' and 'indptr' (csr, csc) or 'row' and 'col' (coo). Arrays are
// streamed from the archive, never loaded whole, and each is read to its end so that
// its CRC-32 is checked; a corrupt member is the fault reported before any entry's.
#pragma once

#include <memory>

#include "core/entry_packing.hpp"
#include "formats/input_source.hpp"
#include "formats/matrix_market.hpp"

namespace tsneloss {

class NpzStream : public EntryStream {
 public:
  // Reads the archive's directory, format and shape, and checks the shape against the
  // embedding. Throws InputError; faults in an array are named "element k of 'name'".
  NpzStream(InputSource& source, const EmbeddingShape& embedding);
  ~NpzStream() override;
  std::uint64_t n() const;
  void ForEach(const std::function<void(const EntryBlock&)>& take) override;
  std::optional<std::uint64_t> EntryBound() const override;

  struct State;

 private:
  std::unique_ptr<State> state_;
};

}  // namespace tsneloss
