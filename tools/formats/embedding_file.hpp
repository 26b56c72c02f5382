// Reading an embedding: N points of D coordinates, from a text file with one point
// per line or from a NumPy .npy file holding a 2-D float64 or float32 array (N, D) in
// C or Fortran order, either of them gzip-compressed or not. Coordinates must be
// finite (see core/input_rules.hpp).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/embedding.hpp"
#include "formats/input_source.hpp"
#include "formats/npy_file.hpp"
#include "formats/text_blocks.hpp"

namespace tsneloss::formats {

// A .npy file by its ending or its first byte, text otherwise. With `z_computed`, an
// embedding of one point is refused too. Throws InputError.
core::Embedding ReadEmbedding(InputSource& source, bool z_computed, const ParallelReading& reading = {});

// Text is parsed in blocks split over threads, with the same values and the same
// first error as a reading line by line.
core::Embedding ReadTextEmbedding(InputSource& source, const ParallelReading& reading = {});

}  // namespace tsneloss::formats
