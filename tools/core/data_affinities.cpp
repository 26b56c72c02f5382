#include "core/data_affinities.hpp"

#include <cmath>
#include <span>

#include "core/input_error.hpp"
#include "core/input_rules.hpp"
#include "core/memory_budget.hpp"
#include "support/text.hpp"

namespace tsneloss::core {

NeighbourMethod NeighbourMethodNamed(const std::string& name, const std::string& source) {
  const auto method = ParseNeighbourMethod(name);
  if (!method) {
    throw InputError(source, "the methods are 'exact', 'approx', 'all' or 'auto', not " + support::Shown(name));
  }
  return *method;
}

void CheckAffinityRequest(std::uint64_t points, std::uint64_t dimension, double perplexity,
                          affinities::NeighbourMethod method, const std::string& source, unsigned threads) {
  CheckPointCount(points, dimension, PointsRole::kData, source);
  if (points > static_cast<std::uint64_t>(INT32_MAX)) {
    throw InputError(source, "P can be computed for at most 2147483647 points; the data holds " +
                                 std::to_string(points));
  }
  const std::string perplexity_fault = PerplexityFault(perplexity, points);
  if (!perplexity_fault.empty()) throw InputError(source, perplexity_fault);
  CheckAffinityMemory(points, dimension, perplexity, method, threads, source);
}

affinities::Affinities AffinitiesFromData(const double* x, std::uint64_t points, std::uint64_t dimension,
                                          const affinities::AffinitySettings& settings, const std::string& source) {
  CheckAffinityRequest(points, dimension, settings.perplexity, settings.neighbours, source, settings.threads);
  CheckCoordinates(std::span<const double>(x, points * dimension), source);
  try {
    return affinities::ComputeAffinities(x, points, dimension, settings);
  } catch (const std::bad_alloc& error) {
    throw OutOfMemoryFor(error, points, settings.perplexity, source);
  }
}

SparseRows AffinitiesFromNeighbourLists(const ShapedArray<std::int32_t>& indices,
                                        const ShapedArray<float>& squared_distances, double perplexity) {
  if (indices.shape.size() != 2 || indices.shape != squared_distances.shape) {
    throw InputError("indices and squared_distances", "two 2-D arrays of one shape are needed");
  }
  affinities::NeighbourLists lists;
  lists.n = indices.shape[0];
  lists.k = indices.shape[1];
  for (std::size_t e = 0; e < indices.values.size(); ++e) {
    const std::int32_t index = indices.values[e];
    if (index < 0 || static_cast<std::uint64_t>(index) >= lists.n) {
      throw InputError::AtElement("indices", e, OutsideRange(std::to_string(index), lists.n, false));
    }
  }
  lists.indices.assign(indices.values.begin(), indices.values.end());
  lists.squared_distances.assign(squared_distances.values.begin(), squared_distances.values.end());
  return affinities::AffinitiesFromNeighbours(lists, perplexity, 0);
}

namespace {

HostAffinities HostCopyOf(const affinities::SparseRows& p) {
  HostAffinities host;
  host.n = p.n;
  host.nnz = p.values.size();
  host.column_counts = NewHostRow(p.n);
  host.row_indices = NewHostRow(host.nnz);
  host.values = NewHostRow(host.nnz);
  auto* counts = const_cast<double*>(ArrayData(host.column_counts));
  auto* rows = const_cast<double*>(ArrayData(host.row_indices));
  auto* values = const_cast<double*>(ArrayData(host.values));
  for (std::size_t j = 0; j < p.n; ++j) counts[j] = static_cast<double>(p.row_starts[j + 1] - p.row_starts[j]);
  for (std::size_t e = 0; e < host.nnz; ++e) {
    rows[e] = static_cast<double>(p.columns[e]) + 1;
    values[e] = p.values[e];
  }
  return host;
}

}  // namespace

HostAffinities HostAffinitiesOf(const affinities::SparseRows& p) {
  try {
    return HostCopyOf(p);
  } catch (const std::bad_alloc&) {
    throw OutOfMemoryError("out of memory allocating the module's copy of P from the data (" +
                           std::to_string(p.values.size()) + " entries)");
  }
}

}  // namespace tsneloss::core
