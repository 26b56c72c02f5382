#include "core/notes.hpp"

#include <cmath>

#include "affinities/approximate_neighbours.hpp"
#include "support/text.hpp"

namespace tsneloss::core {

std::vector<Note> NotesOnP(std::uint64_t merged_positions, double sum_p) {
  std::vector<Note> notes;
  if (merged_positions > 0) {
    notes.push_back({false, support::Counted(merged_positions, "position") + " of P " +
                                (merged_positions == 1 ? "was" : "were") +
                                " given more than once; " + (merged_positions == 1 ? "its values were" : "their values were") +
                                " added together"});
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

std::optional<Note> NoteOnApproximateNeighbours(const affinities::Affinities& computed) {
  if (computed.neighbours != affinities::NeighbourMethod::kApproximate || computed.trustworthy) return std::nullopt;
  const auto percent = [](double share) { return support::FormatNumber(100 * share, 3) + "%"; };
  std::string text = "approximate neighbours found an estimated " + percent(computed.recall) + " (+/- " +
                     percent(computed.recall_error) + ") of the true neighbours of " +
                     std::to_string(computed.recall_sample) + " points searched exactly";
  if (computed.recall + computed.recall_error < affinities::kWantedRecall) {
    text += ", short of the " + percent(affinities::kWantedRecall) + " wanted";
  }
  if (computed.tied_share > affinities::kTiedShareLimit) {
    text += "; " + percent(computed.tied_share) +
            " of those points tie with others at their farthest neighbour's distance, where a graph index takes "
            "whichever tied point it meets, not the one exact neighbours take";
  }
  return Note{true, text + "; exact neighbours give the true P"};
}

std::optional<Note> NoteOnSinglePrecision(double loss, double loss_double) {
  if (loss == loss_double) return std::nullopt;
  const double difference = std::abs(loss - loss_double) / std::abs(loss_double);
  if (difference <= kSinglePrecisionTolerance) return std::nullopt;
  return Note{false, "the single-precision loss differs from the double-precision loss " +
                         support::FormatNumber(loss_double) + " by a relative " +
                         support::FormatNumber(difference, 2) + "; it accumulates every term in single precision"};
}

std::optional<Note> NoteOnDataDimension(std::uint64_t data_dimension, std::uint64_t embedding_dimension) {
  if (data_dimension >= embedding_dimension) return std::nullopt;
  return Note{true, "the data have " + std::to_string(data_dimension) + " dimensions, fewer than the embedding's " +
                        std::to_string(embedding_dimension) +
                        ": the data and the embedding may be given the other way round (--data X EMBEDDING)"};
}

std::vector<Note> NotesOnComputedP(bool scaled_search, std::uint64_t unmet_points, std::uint64_t points,
                                   double perplexity) {
  std::vector<Note> notes;
  if (scaled_search) {
    notes.push_back({false, "every point's affinities underflow to 0 in t-SNE's own arithmetic (the data's distances "
                            "are too large for it); P was computed with each point's distances taken relative to its "
                            "nearest neighbour instead"});
  }
  if (unmet_points > 0) {
    const std::string which = unmet_points == points ? "every point" : std::to_string(unmet_points) + " of the " +
                                                                           std::to_string(points) + " points";
    notes.push_back({true, "for " + which + " the perplexity search could not meet the perplexity " +
                               support::FormatNumber(perplexity) +
                               " (tied or too few neighbours, or distances beyond its reach); their affinities are "
                               "its last try"});
  }
  return notes;
}

}  // namespace tsneloss::core
