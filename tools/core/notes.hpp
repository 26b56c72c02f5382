// What the tools say beside a loss: that positions of P were given more than once,
// that P does not add up to 1, that approximate neighbours fall short, that the
// single-precision loss drifts from the double one, how P from the data was searched.
// Each note's threshold and words live here, once; the command line writes them
// on standard error and the Python package raises them as warnings, word for word.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "affinities/affinities.hpp"

namespace tsneloss::core {

// A sum of P farther than this from 1 is warned about.
inline constexpr double kSumOfPTolerance = 1e-6;
// A single-precision loss farther than this (relative) from the double one is noted.
inline constexpr double kSinglePrecisionTolerance = 1e-6;

struct Note {
  bool warning = false;  // a warning, not just a note
  std::string text;
};

// The notes on P once read: positions merged, then a sum of P that is not 1.
std::vector<Note> NotesOnP(std::uint64_t merged_positions, double sum_p);

// The warning on an approximate Z whose estimated relative error is above 1e-6
// (or not a number); none below.
std::optional<Note> NoteOnApproximateZ(double relative_error);

// The warning on P from approximate neighbours that cannot stand for exact ones: the
// share found, with its error, below the share wanted, or data too tied; none
// otherwise.
std::optional<Note> NoteOnApproximateNeighbours(const affinities::Affinities& computed);

// The note on a single-precision loss far from the double-precision one; none when
// they agree within kSinglePrecisionTolerance.
std::optional<Note> NoteOnSinglePrecision(double loss, double loss_double);

// The warning for data of fewer dimensions than an embedding made of them: the files
// may be given the other way round. None otherwise.
std::optional<Note> NoteOnDataDimension(std::uint64_t data_dimension, std::uint64_t embedding_dimension);

// The notes on P computed from the data: the scaled search taken where t-SNE's own
// arithmetic underflows for every point, and the points whose search missed the
// perplexity.
std::vector<Note> NotesOnComputedP(bool scaled_search, std::uint64_t unmet_points, std::uint64_t points,
                                   double perplexity);

}  // namespace tsneloss::core
