// NumPy .npy files: an embedding read from a 2-D array, and a vector written. The
// reader streams: the shape is checked before anything is allocated from it.
#pragma once

#include <cstdint>
#include <ostream>
#include <span>
#include <string>

#include "core/embedding.hpp"
#include "core/input_rules.hpp"
#include "formats/input_source.hpp"

namespace tsneloss::formats {

// A 2-D array (N, D) of booleans, integers or floats, widened to double as NumPy
// casts them (npy_elements.hpp), N and D at least 1 (`role` names the points where
// they are not), C or Fortran order, as point after point. The file must hold exactly
// the array's data: less or more is refused. Memory grows with the data that arrive,
// never ahead of them from the header alone. Throws InputError naming the file.
core::Embedding ReadNpyEmbedding(InputSource& source, core::PointsRole role = core::PointsRole::kEmbedding);

// The bytes of a .npy file (format version 1) before its data: `descr` as NumPy
// writes it ("<f8"), `shape` as a tuple's text ("(3,)", "()"); padded so the data
// start on a multiple of 64.
std::string NpyPreamble(const std::string& descr, const std::string& shape);

// `values` as a 1-D .npy array (format version 1), float64 or, with `single`,
// float32. The caller checks the stream.
void WriteNpy(std::ostream& out, std::span<const double> values, bool single);

}  // namespace tsneloss::formats
