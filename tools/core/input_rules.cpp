#include "core/input_rules.hpp"

#include "core/input_error.hpp"
#include "core/input_messages.hpp"
#include "support/text.hpp"

namespace tsneloss::core {

std::string OutsideRange(std::string_view index, std::uint64_t n, bool one_based) {
  const std::string range = one_based ? "1 to " + std::to_string(n)
                                      : "0 to " + (n == 0 ? std::string("-1") : std::to_string(n - 1));
  return "index " + std::string(index) + " is outside " + range;
}

void ThrowNoStoredEntries(const std::string& source) { throw InputError(source, "P has no stored entries"); }

std::string NotRealValues(std::string_view type) {
  return "values of type '" + std::string(type) + "' are not supported; they must be real numbers";
}

std::string AffinityFault(double value) {
  return "a value of P is " + support::FormatNumber(value) + "; values of P must be finite and not negative";
}

std::string CoordinateFault(double value) {
  if (std::isfinite(value)) return "";
  return "a coordinate is " + support::FormatNumber(value) + "; coordinates must be finite";
}

std::string NormaliserFault(double z) {
  if (std::isfinite(z) && z > 0) return "";
  return "Z must be finite and greater than 0, not " + support::FormatNumber(z);
}

void CheckSquare(const std::vector<std::uint64_t>& shape, const std::string& source) {
  if (shape.size() != 2 || shape[0] != shape[1]) throw InputError(source, NotSquare(shape));
}

std::string ComputedNormaliserFault(double z, bool approximate, std::string_view option) {
  if (NormaliserFault(z).empty()) return "";
  return std::string("the ") + (approximate ? "approximate" : "exact") + " Z of this embedding is " +
         support::FormatNumber(z) + " in double precision (its points are too far apart); give " +
         std::string(option);
}

std::string PerplexityFault(double perplexity, std::uint64_t points) {
  if (std::isfinite(perplexity) && perplexity >= kLeastPerplexity && perplexity < static_cast<double>(points)) {
    return "";
  }
  return "the perplexity must be finite, at least 1 (no distribution's is less) and below the number of points (" +
         std::to_string(points) + "); it is " + support::FormatNumber(perplexity);
}

std::string LossFault(double loss, bool single) {
  if (std::isfinite(loss)) return "";
  return "the loss is " + support::FormatNumber(loss) + " in " + (single ? "single" : "double") +
         " precision, which cannot hold its terms (points too far apart, or values of P or Z too large or too small)";
}

void CheckLosses(double loss_double, double loss, bool single, const std::string& source) {
  std::string fault = LossFault(loss_double, false);
  if (fault.empty() && single) fault = LossFault(loss, true);
  if (!fault.empty()) throw InputError(source, fault);
}

void CheckPointCount(std::uint64_t points, std::uint64_t dimension, PointsRole role, const std::string& source) {
  if (role == PointsRole::kData) {
    if (points < 2) throw InputError(source, "P needs at least 2 points; the data holds " + std::to_string(points));
    if (dimension == 0) throw InputError(source, "the data's points have no coordinates (D = 0)");
    return;
  }
  const bool z_computed = role == PointsRole::kEmbeddingZComputed;
  if (points == 0) throw InputError(source, "the embedding holds no points");
  if (dimension == 0) throw InputError(source, "the embedding's points have no coordinates (D = 0)");
  if (points == 1 && z_computed) {
    throw InputError(source, "the embedding has one point; computing Z needs at least two (one point has no pair, so Z would be 0)");
  }
}

void CheckSizesAgree(std::uint64_t p_order, const std::string& p_source, std::uint64_t points,
                     std::uint64_t dimension, const std::string& embedding_source) {
  if (p_order == points) return;
  std::string message = "P is " + std::to_string(p_order) + " by " + std::to_string(p_order) + ", but the embedding " +
                        embedding_source + " has " + support::Counted(points, "point");
  if (dimension == p_order) {
    message += " of " + support::Counted(dimension, "coordinate") +
               ": it looks transposed (one point is needed per row, D by N was given)";
  }
  throw InputError(p_source, message);
}

void CheckDataMatchesEmbedding(std::uint64_t data_points, const std::string& data_source, std::uint64_t points,
                               const std::string& embedding_source) {
  if (data_points == points) return;
  throw InputError(data_source, "the data holds " + support::Counted(data_points, "point") + ", but the embedding " +
                                    embedding_source + " holds " + std::to_string(points) +
                                    "; they must be the same points");
}

namespace {

template <typename Real>
void CheckFinite(std::span<const Real> row_major, const std::string& source) {
  for (std::size_t k = 0; k < row_major.size(); ++k) {
    if (!std::isfinite(row_major[k])) throw InputError::AtElement(source, k, CoordinateFault(row_major[k]));
  }
}

}  // namespace

void CheckCoordinates(std::span<const double> row_major, const std::string& source) {
  CheckFinite(row_major, source);
}

void CheckCoordinates(std::span<const float> row_major, const std::string& source) {
  CheckFinite(row_major, source);
}

void ValidateEmbedding(std::span<const double> row_major, std::uint64_t points, std::uint64_t dimension,
                       bool z_computed, const std::string& source) {
  const bool sizes_fit = dimension == 0 ? row_major.empty()
                                        : row_major.size() % dimension == 0 && row_major.size() / dimension == points;
  if (!sizes_fit) {
    throw InputError(source, "the buffer holds " + support::Counted(row_major.size(), "value") + ", not " +
                                 std::to_string(points) + " by " + std::to_string(dimension));
  }
  CheckPointCount(points, dimension, z_computed, source);
  CheckCoordinates(row_major, source);
}

}  // namespace tsneloss::core
