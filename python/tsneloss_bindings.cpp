// The boundary between Python and the C++ libraries: NumPy arrays in as views of the
// caller's memory, C++ exceptions back as Python ones. No rule and no arithmetic
// lives here. The package hands over only native float64/float32 values and
// int32/int64 indices (1-D arrays contiguous); anything else is refused as a TypeError.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/array_loss.hpp"
#include "core/array_packing.hpp"
#include "core/data_affinities.hpp"
#include "core/input_error.hpp"
#include "core/input_rules.hpp"
#include "core/metric_affinities.hpp"
#include "core/module_call.hpp"
#include "core/notes.hpp"
#include "core/precomputed_affinities.hpp"
#include "core/progress_labels.hpp"
#include "support/version.hpp"

namespace py = pybind11;

namespace {

template <typename T>
bool Holds(const py::array& array) {
  return array.dtype().equal(py::dtype::of<T>());
}

template <typename T>
std::span<const T> SpanOf(const py::array& array) {
  if (!Holds<T>(array) || array.ndim() != 1 || !(array.flags() & py::array::c_style)) {
    throw py::type_error("P: its arrays must be contiguous and 1-D, of int32, int64, float32 or float64");
  }
  return {static_cast<const T*>(array.data()), static_cast<std::size_t>(array.size())};
}

template <typename T>
tsneloss::core::StridedMatrix<T> MatrixOf(const py::array& array) {
  return {static_cast<const std::byte*>(array.data()), static_cast<std::uint64_t>(array.shape(0)),
          static_cast<std::uint64_t>(array.shape(1)), array.strides(0), array.strides(1)};
}

// Y (float64 or float32, 2-D, any strides), packed without the interpreter's lock
// once Z's presence is known: everything of Python's is read here, beforehand.
tsneloss::core::EmbeddingPacker EmbeddingOf(const py::array& y) {
  if (y.ndim() != 2 || !(Holds<double>(y) || Holds<float>(y))) {
    throw py::type_error("Y: a 2-D array of float64 or float32 is needed");
  }
  if (Holds<float>(y)) {
    return [y = MatrixOf<float>(y)](bool z_computed) { return tsneloss::core::PackEmbedding(y, z_computed, "Y"); };
  }
  return [y = MatrixOf<double>(y)](bool z_computed) { return tsneloss::core::PackEmbedding(y, z_computed, "Y"); };
}

// visit(Index{}, Value{}) for the arrays' index type (int32 or int64) and value type
// (float64 or float32).
template <typename Visit>
tsneloss::core::AffinitiesPacker WithTypes(const py::array& index, const py::array& values, const Visit& visit) {
  const bool wide = Holds<std::int64_t>(index);
  const bool single = Holds<float>(values);
  if (wide) return single ? visit(std::int64_t{}, float{}) : visit(std::int64_t{}, double{});
  return single ? visit(std::int32_t{}, float{}) : visit(std::int32_t{}, double{});
}

// Checks that call back into Python: Ctrl-C (or any signal handler that raises) stops
// a long computation with the handler's exception.
void CheckSignals() {
  const py::gil_scoped_acquire locked;
  if (PyErr_CheckSignals() != 0) throw py::error_already_set();
}

tsneloss::core::ArrayLossOptions OptionsOf(std::optional<double> z, bool single, bool per_point, std::string module_path,
                                     unsigned threads) {
  return {z, single, per_point, std::move(module_path), threads, CheckSignals};
}

py::dict ResultOf(const tsneloss::core::ArrayLoss& result) {
  py::dict out;
  out["loss"] = result.loss;
  out["loss_double"] = result.loss_double;
  out["z"] = result.z;
  out["sum_p"] = result.sum_p;
  out["nnz"] = result.nnz;
  out["merged_positions"] = result.merged_positions;
  py::list notes;
  for (const tsneloss::core::Note& note : result.notes) notes.append(note.text);
  out["notes"] = notes;
  out["shares"] = result.shares.empty()
                      ? py::object(py::none())
                      : py::array_t<double>(static_cast<py::ssize_t>(result.shares.size()), result.shares.data());
  return out;
}

py::dict Compute(const py::array& y, const tsneloss::core::AffinitiesPacker& pack_p, const tsneloss::core::ArrayLossOptions& options) {
  const tsneloss::core::EmbeddingPacker pack_y = EmbeddingOf(y);
  tsneloss::core::ArrayLoss result;
  {
    const py::gil_scoped_release unlocked;
    result = tsneloss::core::ComputeArrayLoss(pack_y, pack_p, options);
  }
  return ResultOf(result);
}

py::dict LossOfCompressed(const py::array& y, std::uint64_t n, bool by_columns, const py::array& indptr,
                          const py::array& indices, const py::array& data, std::optional<double> z, bool single,
                          bool per_point, std::string module_path, unsigned threads) {
  const auto pack_p = WithTypes(indices, data, [&]<typename Index, typename Value>(Index, Value) {
    const tsneloss::core::CompressedArrays<Index, Value> p{n, by_columns, SpanOf<Index>(indptr), SpanOf<Index>(indices),
                                                     SpanOf<Value>(data)};
    return tsneloss::core::AffinitiesPacker([p, threads] { return tsneloss::core::PackCompressed(p, "P", threads); });
  });
  return Compute(y, pack_p, OptionsOf(z, single, per_point, std::move(module_path), threads));
}

py::dict LossOfCoordinates(const py::array& y, std::uint64_t n, const py::array& rows, const py::array& columns,
                           const py::array& values, std::optional<double> z, bool single, bool per_point,
                           std::string module_path, unsigned threads) {
  const auto pack_p = WithTypes(rows, values, [&]<typename Index, typename Value>(Index, Value) {
    const tsneloss::core::CoordinateArrays<Index, Value> p{n, SpanOf<Index>(rows), SpanOf<Index>(columns),
                                                     SpanOf<Value>(values)};
    return tsneloss::core::AffinitiesPacker([p, threads] { return tsneloss::core::PackCoordinates(p, "P", threads); });
  });
  return Compute(y, pack_p, OptionsOf(z, single, per_point, std::move(module_path), threads));
}

py::dict LossOfDense(const py::array& y, const py::array& p, std::optional<double> z, bool single, bool per_point,
                     std::string module_path, unsigned threads) {
  if (p.ndim() != 2 || !Holds<double>(p)) throw py::type_error("P: a 2-D array of float64 is needed");
  const auto pack_p = [p = MatrixOf<double>(p)] { return tsneloss::core::PackDense(p, "P"); };
  return Compute(y, pack_p, OptionsOf(z, single, per_point, std::move(module_path), threads));
}

// A vector handed to NumPy without a copy: the array owns it from here.
template <typename Vector>
py::array_t<typename Vector::value_type> Adopted(Vector&& values) {
  auto* owned = new Vector(std::move(values));
  const py::capsule owner(owned, [](void* vector) { delete static_cast<Vector*>(vector); });
  return py::array_t<typename Vector::value_type>(static_cast<py::ssize_t>(owned->size()), owned->data(), owner);
}

py::dict ResultOf(tsneloss::core::SparseRows&& p) {
  py::dict out;
  out["n"] = p.n;
  out["indptr"] = Adopted(std::move(p.row_starts));
  out["indices"] = Adopted(std::move(p.columns));
  out["data"] = Adopted(std::move(p.values));
  return out;
}

// Progress for `report` (None, or a callable taking a phase's label and the share of
// it done), with the interpreter's lock taken; each call is a chance to stop at Ctrl-C.
void Report(const py::object& report, std::string_view label, double fraction) {
  const py::gil_scoped_acquire locked;
  if (PyErr_CheckSignals() != 0) throw py::error_already_set();
  if (!report.is_none()) report(label, fraction);
}

// Where a search's progress goes: the caller's `report` and the phase under way.
struct Progress {
  py::object report;
  std::string_view label;
};

// The search reports its phases and progress on this thread, through `progress`,
// which must outlive the settings.
tsneloss::core::AffinitySettings SettingsOf(const std::string& neighbours, const std::string& metric, std::size_t k,
                                            unsigned threads, Progress& progress) {
  tsneloss::core::AffinitySettings settings;
  settings.neighbours = tsneloss::core::NeighbourMethodNamed(neighbours, "neighbours");
  settings.metric = tsneloss::core::MetricNamed(metric, "metric");
  settings.k = k;
  settings.threads = threads;
  settings.phase = [&progress](tsneloss::core::Phase phase) {
    progress.label = tsneloss::core::PhaseLabel(phase);
    Report(progress.report, progress.label, 0.0);
  };
  settings.progress = [&progress](double fraction) { Report(progress.report, progress.label, fraction); };
  return settings;
}

// One dictionary per perplexity: P, its notes and how its neighbours were found.
py::list ResultsOf(std::vector<tsneloss::core::Affinities>&& computed, const std::vector<double>& perplexities) {
  py::list results;
  for (std::size_t m = 0; m < computed.size(); ++m) {
    py::list notes;
    for (const tsneloss::core::Note& note : tsneloss::core::NotesOnAffinities(computed[m], perplexities[m])) {
      notes.append(note.text);
    }
    py::dict out = ResultOf(std::move(computed[m].p));
    out["notes"] = notes;
    out["neighbours"] = tsneloss::core::NeighbourMethodName(computed[m].neighbours);
    out["recall"] = computed[m].recall;
    out["recall_error"] = tsneloss::core::RecallStandardError(computed[m]);
    out["recall_sample"] = computed[m].recall_sample;
    results.append(out);
  }
  return results;
}

void CheckRows(const py::array& x, const char* name) {
  if (x.ndim() != 2 || !(x.flags() & py::array::c_style)) {
    throw py::type_error(std::string(name) + ": a C-ordered 2-D array is needed");
  }
}

// visit(points) on X's values as they are: float64 or float32, 2-D, C order (the
// package converts anything else).
template <typename Visit>
auto OnPoints(const py::array& x, const Visit& visit) {
  CheckRows(x, "X");
  if (Holds<float>(x)) return visit(static_cast<const float*>(x.data()));
  if (!Holds<double>(x)) throw py::type_error("X: float64 or float32 values are needed");
  return visit(static_cast<const double*>(x.data()));
}

py::list Affinities(const py::array& x, const std::vector<double>& perplexities, const std::string& neighbours,
                    const std::string& metric, std::size_t k, unsigned threads, const py::object& report) {
  Progress progress{report, {}};
  const tsneloss::core::AffinitySettings settings = SettingsOf(neighbours, metric, k, threads, progress);
  std::vector<tsneloss::core::Affinities> computed = OnPoints(x, [&](const auto* points) {
    const py::gil_scoped_release unlocked;
    return tsneloss::core::AffinitiesFromData(points, static_cast<std::uint64_t>(x.shape(0)),
                                              static_cast<std::uint64_t>(x.shape(1)), perplexities, settings, "X");
  });
  return ResultsOf(std::move(computed), perplexities);
}

// A CSR graph of distances: int64 indices, float64 values (the package converts).
py::list AffinitiesFromGraph(std::uint64_t n, const py::array_t<std::int64_t, py::array::c_style>& indptr,
                             const py::array_t<std::int64_t, py::array::c_style>& indices,
                             const py::array_t<double, py::array::c_style>& data,
                             const std::vector<double>& perplexities, std::size_t k, unsigned threads,
                             const py::object& report) {
  const tsneloss::core::DistanceGraph graph{n, SpanOf<std::int64_t>(indptr), SpanOf<std::int64_t>(indices),
                                            SpanOf<double>(data)};
  Progress progress{report, {}};
  const tsneloss::core::AffinitySettings settings = SettingsOf("exact", "precomputed", k, threads, progress);
  std::vector<tsneloss::core::Affinities> computed;
  {
    const py::gil_scoped_release unlocked;
    computed = tsneloss::core::AffinitiesFromGraph(graph, perplexities, settings, "X");
  }
  return ResultsOf(std::move(computed), perplexities);
}

// Dense distances: float64, N by N, C order.
py::list AffinitiesFromDistances(const py::array_t<double>& distances, const std::vector<double>& perplexities,
                                 std::size_t k, unsigned threads, const py::object& report) {
  CheckRows(distances, "X");
  const auto rows = static_cast<std::uint64_t>(distances.shape(0));
  tsneloss::core::CheckSquare({rows, static_cast<std::uint64_t>(distances.shape(1))}, "X");
  Progress progress{report, {}};
  const tsneloss::core::AffinitySettings settings = SettingsOf("exact", "precomputed", k, threads, progress);
  std::vector<tsneloss::core::Affinities> computed;
  {
    const py::gil_scoped_release unlocked;
    computed = tsneloss::core::AffinitiesFromDistances(distances.data(), rows, perplexities, settings, "X");
  }
  return ResultsOf(std::move(computed), perplexities);
}

py::dict NearestNeighbours(const py::array& x, std::size_t k, const std::string& metric, const std::string& method,
                           unsigned threads, const py::object& report) {
  Progress progress{report, {}};
  const tsneloss::core::AffinitySettings settings = SettingsOf(method, metric, 0, threads, progress);
  tsneloss::core::NearestPoints nearest = OnPoints(x, [&](const auto* points) {
    const py::gil_scoped_release unlocked;
    return tsneloss::core::NearestPointsOf(points, static_cast<std::uint64_t>(x.shape(0)),
                                           static_cast<std::uint64_t>(x.shape(1)), k, settings, "X");
  });
  py::dict out;
  out["n"] = nearest.n;
  out["k"] = nearest.k;
  out["indices"] = Adopted(std::move(nearest.indices));
  out["distances"] = Adopted(std::move(nearest.distances));
  out["neighbours"] = tsneloss::core::NeighbourMethodName(nearest.found.neighbours);
  out["recall"] = nearest.found.recall;
  out["recall_error"] = tsneloss::core::RecallStandardError(nearest.found);
  return out;
}

template <typename T>
tsneloss::core::ShapedArray<T> ShapedOf(const py::array_t<T, py::array::c_style>& array) {
  return {{array.shape(), array.shape() + array.ndim()}, {array.data(), static_cast<std::size_t>(array.size())}};
}

// Steps two and three alone, from neighbour lists: for tests against other
// implementations given the same neighbours.
py::dict AffinitiesFromNeighbours(const py::array_t<std::int32_t, py::array::c_style>& indices,
                                  const py::array_t<float, py::array::c_style>& squared_distances, double perplexity) {
  return ResultOf(tsneloss::core::AffinitiesFromNeighbourLists(ShapedOf(indices), ShapedOf(squared_distances), perplexity));
}

double Normaliser(const py::array& y, const std::string& method, unsigned threads) {
  const tsneloss::core::EmbeddingPacker pack_y = EmbeddingOf(y);
  const py::gil_scoped_release unlocked;
  return tsneloss::core::ArrayNormaliser(pack_y, method, CheckSignals, threads);
}

}  // namespace

PYBIND11_MODULE(_core, m) {
  m.doc() = "The C++ side of tsneloss; use the functions of the package itself.";

  py::register_exception_translator([](std::exception_ptr raised) {
    try {
      if (raised) std::rethrow_exception(raised);
    } catch (const tsneloss::core::InputError& error) {
      PyErr_SetString(PyExc_ValueError, error.what());
    } catch (const tsneloss::core::ModuleError& error) {
      const py::object module_error = py::module_::import("tsneloss._errors").attr("ModuleError");
      PyErr_SetObject(module_error.ptr(), py::make_tuple(error.identifier(), error.text()).ptr());
    }
  });

  m.def("loss_of_compressed", &LossOfCompressed, py::arg("y"), py::arg("n"), py::arg("by_columns"), py::arg("indptr"),
        py::arg("indices"), py::arg("data"), py::arg("z"), py::arg("single"), py::arg("per_point"),
        py::arg("module_path"), py::arg("threads"));
  m.def("loss_of_coordinates", &LossOfCoordinates, py::arg("y"), py::arg("n"), py::arg("rows"), py::arg("columns"),
        py::arg("values"), py::arg("z"), py::arg("single"), py::arg("per_point"), py::arg("module_path"),
        py::arg("threads"));
  m.def("loss_of_dense", &LossOfDense, py::arg("y"), py::arg("p"), py::arg("z"), py::arg("single"),
        py::arg("per_point"), py::arg("module_path"), py::arg("threads"));
  m.def("affinities", &Affinities, py::arg("x"), py::arg("perplexities"), py::arg("neighbours"), py::arg("metric"),
        py::arg("k"), py::arg("threads"), py::arg("report"));
  m.def("affinities_from_graph", &AffinitiesFromGraph, py::arg("n"), py::arg("indptr"), py::arg("indices"),
        py::arg("data"), py::arg("perplexities"), py::arg("k"), py::arg("threads"), py::arg("report"));
  m.def("affinities_from_distances", &AffinitiesFromDistances, py::arg("distances"), py::arg("perplexities"),
        py::arg("k"), py::arg("threads"), py::arg("report"));
  m.def("nearest_neighbours", &NearestNeighbours, py::arg("x"), py::arg("k"), py::arg("metric"), py::arg("method"),
        py::arg("threads"), py::arg("report"));
  m.def("affinities_from_neighbours", &AffinitiesFromNeighbours, py::arg("indices"), py::arg("squared_distances"),
        py::arg("perplexity"));
  m.def("normaliser", &Normaliser, py::arg("y"), py::arg("method"), py::arg("threads"));
  m.attr("version") = tsneloss::support::kVersion;
  m.attr("most_threads") = tsneloss::core::kMostThreads;
  m.attr("real_kinds") = std::string(tsneloss::core::kRealKinds);
  m.def("not_real_values", &tsneloss::core::NotRealValues, py::arg("type"));
  m.def("check_square", &tsneloss::core::CheckSquare, py::arg("shape"), py::arg("name"));
  m.def("cached_modules", &tsneloss::core::CachedModuleCount, "How many module files this process holds open.");
}
