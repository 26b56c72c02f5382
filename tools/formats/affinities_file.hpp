// Reading P from a file whose format is told by its content, whatever its name: a
// SciPy .npz archive, or a Matrix Market file (coordinate or array), plain or
// gzip-compressed.
#pragma once

#include "core/entry_packing.hpp"
#include "core/module_call.hpp"
#include "core/sparse_columns.hpp"
#include "formats/input_source.hpp"
#include "formats/matrix_market.hpp"
#include "formats/text_blocks.hpp"

namespace tsneloss::formats {

struct AffinitiesRead {
  std::uint64_t n = 0;
  core::PackedSize size;
};

// Packs P into the arrays `allocate` hands out (see PackEntries). Throws InputError.
AffinitiesRead ReadAffinities(InputSource& source, const core::EmbeddingShape& embedding, const core::ColumnAllocator& allocate,
                              const ParallelReading& reading = {});

// Packs P straight into the host arrays the module takes.
core::HostAffinities ReadHostAffinities(InputSource& source, const core::EmbeddingShape& embedding,
                                  const ParallelReading& reading = {});

// The same, into vectors.
core::SparseColumns ReadAffinities(InputSource& source, const core::EmbeddingShape& embedding, const ParallelReading& reading = {});

}  // namespace tsneloss::formats
