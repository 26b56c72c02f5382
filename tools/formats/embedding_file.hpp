// Reading an embedding: N points of D coordinates, from a text file with one point
// per line or from a NumPy .npy file holding a 2-D array (N, D) of real numbers in C
// or Fortran order, either of them gzip-compressed or not. Coordinates must be
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

// "a Matrix Market file" or "a .npz archive" when `source` starts as a file of P does
// (an embedding is never either), empty else. Only before reading.
std::string AffinitiesFormatOf(InputSource& source);

// The data P is computed from, read as an embedding is and held to the data's sizes:
// at least two points. Throws InputError.
core::Embedding ReadData(InputSource& source, const ParallelReading& reading = {});

// Text is parsed in blocks split over threads, with the same values and the same
// first error as a reading line by line.
core::Embedding ReadTextEmbedding(InputSource& source, const ParallelReading& reading = {});

}  // namespace tsneloss::formats
