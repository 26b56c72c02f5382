#include "core/data_affinities.hpp"

#include <cmath>
#include <span>
#include <stdexcept>
#include <utility>

#include "core/input_error.hpp"
#include "core/input_rules.hpp"
#include "core/memory_budget.hpp"
#include "support/text.hpp"

namespace tsneloss::core {
namespace {

constexpr double kEpsilon = 2.220446049250313e-16;

}  // namespace

void CheckComputedP(const SparseRows& p, const std::string& source) {
  const std::string fault = ComputedPFault(p);
  if (!fault.empty()) {
    throw std::runtime_error("P computed from " + source + " is not a P: " + fault + " (a fault of tsneloss)");
  }
}

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

std::string ComputedPFault(const SparseRows& p) {
  double sum = 0;
  for (const double value : p.values) {
    if (!std::isfinite(value)) return "a value of P is " + support::FormatNumber(value);
    sum += value;
  }
  // Rounding moves the sum by less than an epsilon per value, and so does the
  // all-pairs floor.
  const double tolerance = kSumOfPTolerance + 2 * static_cast<double>(p.values.size()) * kEpsilon;
  if (!(std::fabs(sum - 1) <= tolerance)) return "the values of P add up to " + support::FormatNumber(sum) + ", not 1";
  return "";
}

std::vector<Note> NotesOnAffinities(const affinities::Affinities& computed, double perplexity) {
  std::vector<Note> notes;
  if (auto note = NoteOnApproximateNeighbours(computed)) notes.push_back(std::move(*note));
  for (Note& note : NotesOnComputedP(computed.scaled_search, computed.unmet_points, computed.p.n, perplexity)) {
    notes.push_back(std::move(note));
  }
  return notes;
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
  const auto searched = [&](affinities::PrecisionSearch search) {
    lists.indices.assign(indices.values.begin(), indices.values.end());
    lists.squared_distances.assign(squared_distances.values.begin(), squared_distances.values.end());
    return affinities::AffinitiesFromNeighbours(lists, perplexity, 0, search).p;
  };
  SparseRows p = searched(affinities::PrecisionSearch::kTsne);
  if (!affinities::AllFinite(p)) p = searched(affinities::PrecisionSearch::kScaled);
  CheckComputedP(p, "indices and squared_distances");
  return p;
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
