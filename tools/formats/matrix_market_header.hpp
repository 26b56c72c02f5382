// The first lines of a Matrix Market file: the banner (coordinate or array, real or
// integer, general or symmetric) and the size line, checked against the embedding and
// against the bytes the file has left.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "core/embedding.hpp"
#include "formats/input_source.hpp"
#include "formats/text_blocks.hpp"

namespace tsneloss::formats {

struct MatrixMarketHeader {
  bool dense = false;      // array, not coordinate
  bool symmetric = false;  // the lower triangle stands for both
  std::uint64_t n = 0;
  std::uint64_t declared = 0;  // entries, or values of an array file
  std::uint64_t lines = 0;     // the banner, comments and the size line
  // Entries that can come, mirrors included, where the file's size bounds them.
  std::optional<std::uint64_t> bound;
  std::string_view rest;  // the text after the size line in the block being read
};

// Reads the header from the first of `blocks`, read from `source`. Throws InputError
// with line and column.
MatrixMarketHeader ReadMatrixMarketHeader(TextBlocks& blocks, const InputSource& source,
                                          const core::EmbeddingShape& embedding);

}  // namespace tsneloss::formats
