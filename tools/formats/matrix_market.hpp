// Reading P from a Matrix Market file, N by N, real or integer, general or symmetric:
// coordinate (the sparse form) or array (the dense form, column after column; its
// zeros are not stored). Text is parsed in large blocks split over threads, with the
// same values and the same first error, at the same line and column, as a reading
// line by line.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "core/embedding.hpp"
#include "core/entry_packing.hpp"
#include "formats/input_source.hpp"
#include "formats/text_blocks.hpp"

namespace tsneloss::formats {

// A Matrix Market file's entries, header read and checked on construction. In a
// symmetric file each entry off the diagonal stands for (i, j) and (j, i). The
// declared sizes are checked against the embedding and against the bytes the file
// has left before anything is allocated from them. Throws InputError with line and
// column. Reads the source twice where it can; standard input is kept in memory.
class MatrixMarketStream : public core::EntryStream {
 public:
  MatrixMarketStream(InputSource& source, const core::EmbeddingShape& embedding, const ParallelReading& reading);
  ~MatrixMarketStream() override;
  std::uint64_t n() const;
  void ForEach(const std::function<void(const core::EntryBlock&)>& take) override;
  std::optional<std::uint64_t> EntryBound() const override;

  struct State;

 private:
  std::unique_ptr<State> state_;
};

}  // namespace tsneloss::formats
