// The rules every input obeys before the module sees it, written once for files and
// for arrays handed over in memory. Faults come back as what is wrong (a part of an
// entry, or the text of a message), so each reader names the place in its own terms:
// a line and column, or an element of an array.
#pragma once

#include <cmath>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tsneloss::core {

// Values of P must be finite and not negative.
inline bool AffinityAllowed(double value) { return std::isfinite(value) && value >= 0; }
// A zero-based index of an N-by-N P.
inline bool IndexInRange(std::int64_t index, std::uint64_t n) {
  return index >= 0 && static_cast<std::uint64_t>(index) < n;
}

// The part of an entry that breaks the rules first: row, then column, then value.
enum class EntryPart { kNone, kRow, kColumn, kValue };

// The one check of an entry of P: zero-based row and column of an N-by-N P and the
// value stored there. Every reader and every array packer calls it.
inline EntryPart FirstFault(std::int64_t row, std::int64_t column, double value, std::uint64_t n) {
  if (!IndexInRange(row, n)) return EntryPart::kRow;
  if (!IndexInRange(column, n)) return EntryPart::kColumn;
  if (!AffinityAllowed(value)) return EntryPart::kValue;
  return EntryPart::kNone;
}

// "index is outside 0 to N-1", or "1 to N" where the file counts from one; `index` as
// the input shows it.
std::string OutsideRange(std::string_view index, std::uint64_t n, bool one_based);

// Throws InputError naming `source` unless `shape` is N by N.
void CheckSquare(const std::vector<std::uint64_t>& shape, const std::string& source);

// Throws InputError naming `source`: P must hold at least one stored entry.
[[noreturn]] void ThrowNoStoredEntries(const std::string& source);

// NumPy's kinds of real numbers: booleans, signed and unsigned integers and floats.
// Points of these kinds are taken, converted to float64 as NumPy casts them; others
// are refused with NotRealValues.
inline constexpr std::string_view kRealKinds = "biuf";
// The message for values of another kind; `type` as the input names it.
std::string NotRealValues(std::string_view type);

// The message for a value of P that is not allowed.
std::string AffinityFault(double value);
// The message for a coordinate that is not finite, empty for one that is.
std::string CoordinateFault(double value);
// The message for a normaliser Z that is not finite and greater than 0, empty else.
std::string NormaliserFault(double z);
// The same for a Z computed from an embedding (exact or approximate), empty else;
// `option` is how the caller gives Z instead ("--z", "z").
std::string ComputedNormaliserFault(double z, bool approximate, std::string_view option);

// A perplexity is 2^entropy, so never below 1: a smaller one cannot be met.
inline constexpr double kLeastPerplexity = 1;

// The message for a perplexity that is not finite, at least kLeastPerplexity and
// below the number of points, empty else.
std::string PerplexityFault(double perplexity, std::uint64_t points);

// The message for a loss that is not finite in the precision it was computed in,
// empty else: no result of the tools is.
std::string LossFault(double loss, bool single);

// Throws InputError naming `source` (the embedding) when the double-precision loss,
// or with `single` the single-precision `loss`, is not finite.
void CheckLosses(double loss_double, double loss, bool single, const std::string& source);

// The most threads a caller may ask for: more would only cost memory, each thread
// holding a piece of a block.
inline constexpr unsigned kMostThreads = 1024;

// What points are to their reader: an embedding, with Z given or computed from it, or
// the data P is computed from. Each is held to its own sizes and named in messages.
enum class PointsRole { kEmbedding, kEmbeddingZComputed, kData };

// Throws InputError naming `source` when the points are too few or have no coordinates
// (D = 0): an embedding needs one point, two when Z is computed from it (one point
// has no pair: Z would be 0); the data two.
void CheckPointCount(std::uint64_t points, std::uint64_t dimension, PointsRole role, const std::string& source);
inline void CheckPointCount(std::uint64_t points, std::uint64_t dimension, bool z_computed, const std::string& source) {
  CheckPointCount(points, dimension, z_computed ? PointsRole::kEmbeddingZComputed : PointsRole::kEmbedding, source);
}

// Throws InputError naming `data_source` unless the data and the embedding hold the
// same number of points.
void CheckDataMatchesEmbedding(std::uint64_t data_points, const std::string& data_source, std::uint64_t points,
                               const std::string& embedding_source);

// Throws InputError naming `p_source` when P's order differs from the embedding's
// number of points, with a hint when the embedding looks transposed.
void CheckSizesAgree(std::uint64_t p_order, const std::string& p_source, std::uint64_t points,
                     std::uint64_t dimension, const std::string& embedding_source);

// Throws InputError at the first coordinate that is not finite, named "element k" of
// the row-major N-by-D buffer (k as NumPy's flat index gives it).
void CheckCoordinates(std::span<const double> row_major, const std::string& source);
void CheckCoordinates(std::span<const float> row_major, const std::string& source);

// All the embedding's rules on an N-by-D row-major buffer. Throws InputError.
void ValidateEmbedding(std::span<const double> row_major, std::uint64_t points, std::uint64_t dimension,
                       bool z_computed, const std::string& source);

}  // namespace tsneloss::core
