#include "affinities/metric.hpp"

#include <cmath>

namespace tsneloss::affinities {
namespace {

template <typename Real>
double RowMean(const Real* row, std::size_t d) {
  double sum = 0;
  for (std::size_t c = 0; c < d; ++c) sum += static_cast<double>(row[c]);
  return sum / static_cast<double>(d);
}

// The row's own centre: its mean for correlation, 0 for cosine.
template <typename Real>
double CentreOf(const Real* row, std::size_t d, Metric metric) {
  return metric == Metric::kCorrelation ? RowMean(row, d) : 0.0;
}

}  // namespace

std::string MetricName(Metric metric) {
  switch (metric) {
    case Metric::kCosine: return "cosine";
    case Metric::kCorrelation: return "correlation";
    case Metric::kPrecomputed: return "precomputed";
    case Metric::kEuclidean: break;
  }
  return "euclidean";
}

std::optional<Metric> ParseMetric(const std::string& name) {
  for (const auto metric : {Metric::kEuclidean, Metric::kCosine, Metric::kCorrelation, Metric::kPrecomputed}) {
    if (name == MetricName(metric)) return metric;
  }
  return std::nullopt;
}

bool OnUnitRows(Metric metric) { return metric == Metric::kCosine || metric == Metric::kCorrelation; }

template <typename Real>
std::optional<std::size_t> FirstRowWithoutDirection(const Real* x, std::size_t n, std::size_t d, Metric metric) {
  for (std::size_t i = 0; i < n; ++i) {
    const Real* row = x + i * d;
    const double centre = CentreOf(row, d, metric);
    bool flat = true;
    for (std::size_t c = 0; c < d && flat; ++c) flat = static_cast<double>(row[c]) - centre == 0;
    if (flat) return i;
  }
  return std::nullopt;
}

template <typename Real>
LargeVector<double> UnitRows(const Real* x, std::size_t n, std::size_t d, Metric metric) {
  LargeVector<double> rows(n * d);
  for (std::size_t i = 0; i < n; ++i) {
    const Real* row = x + i * d;
    double* unit = rows.data() + i * d;
    const double centre = CentreOf(row, d, metric);
    // Scaled by the largest first, so that squaring neither overflows nor underflows.
    double largest = 0;
    for (std::size_t c = 0; c < d; ++c) largest = std::fmax(largest, std::fabs(static_cast<double>(row[c]) - centre));
    double sum = 0;
    for (std::size_t c = 0; c < d; ++c) {
      unit[c] = (static_cast<double>(row[c]) - centre) / largest;
      sum += unit[c] * unit[c];
    }
    const double norm = std::sqrt(sum);
    for (std::size_t c = 0; c < d; ++c) unit[c] /= norm;
  }
  return rows;
}

void ToMetricDistances(NeighbourLists& lists, Metric metric) {
  if (!OnUnitRows(metric)) return;
  // Halving a float is exact but below float's smallest normal, far under any
  // distance t-SNE can tell from 0.
  for (float& distance : lists.squared_distances) distance /= 2;
}

template std::optional<std::size_t> FirstRowWithoutDirection(const double*, std::size_t, std::size_t, Metric);
template std::optional<std::size_t> FirstRowWithoutDirection(const float*, std::size_t, std::size_t, Metric);
template LargeVector<double> UnitRows(const double*, std::size_t, std::size_t, Metric);
template LargeVector<double> UnitRows(const float*, std::size_t, std::size_t, Metric);

}  // namespace tsneloss::affinities
