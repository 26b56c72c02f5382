// The rules every input obeys before the module sees it, written once for files and
// for arrays handed over in memory. A fault is returned as the text of a message,
// empty when there is none, so each reader can name the place in its own terms.
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace tsneloss {

// Values of P must be finite and not negative.
std::string AffinityFault(double value);
// Coordinates must be finite.
std::string CoordinateFault(double value);
// The normaliser Z must be finite and greater than 0.
std::string NormaliserFault(double z);

// Throws InputError naming `source` when the embedding has no points, or fewer than
// two when Z is to be computed from it (one point has no pair: Z would be 0).
void CheckPointCount(std::uint64_t points, bool z_computed, const std::string& source);

// Throws InputError naming `p_source` when P's order differs from the embedding's
// number of points, with a hint when the embedding looks transposed.
void CheckSizesAgree(std::uint64_t p_order, const std::string& p_source, std::uint64_t points,
                     std::uint64_t dimension, const std::string& embedding_source);

// Throws InputError at the first coordinate that is not finite, named "element k" of
// the row-major N-by-D buffer (k as NumPy's flat index gives it).
void CheckCoordinates(std::span<const double> row_major, const std::string& source);

// All the embedding's rules on an N-by-D row-major buffer. Throws InputError.
void ValidateEmbedding(std::span<const double> row_major, std::uint64_t points, std::uint64_t dimension,
                       bool z_computed, const std::string& source);

}  // namespace tsneloss
