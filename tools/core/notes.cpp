#include "core/notes.hpp"

#include <cmath>

#include "support/text.hpp"

namespace tsneloss::core {

std::vector<Note> NotesOnP(std::uint64_t merged_positions, double sum_p) {
  std::vector<Note> notes;
  if (merged_positions > 0) {
    notes.push_back({false, std::to_string(merged_positions) +
                                " positions of P were given more than once; their values were added together"});
  }
  if (std::abs(sum_p - 1.0) > kSumOfPTolerance) {
    notes.push_back({true, "the stored values of P add up to " + support::FormatNumber(sum_p) +
                               ", not 1; the loss is a KL divergence only for a normalised P"});
  }
  return notes;
}

std::optional<Note> NoteOnApproximateZ(double relative_error) {
  if (relative_error <= 1e-6) return std::nullopt;
  return Note{true, "the approximate Z may be off by more than 1e-6"};
}

std::optional<Note> NoteOnSinglePrecision(double loss, double loss_double) {
  if (loss == loss_double) return std::nullopt;
  const double difference = std::abs(loss - loss_double) / std::abs(loss_double);
  if (difference <= kSinglePrecisionTolerance) return std::nullopt;
  return Note{false, "the single-precision loss differs from the double-precision loss " +
                         support::FormatNumber(loss_double) + " by a relative " +
                         support::FormatNumber(difference, 2) + "; it accumulates every term in single precision"};
}

}  // namespace tsneloss::core
