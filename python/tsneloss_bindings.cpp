// The boundary between Python and the C++ libraries: NumPy arrays in, spans out,
// C++ exceptions back as Python ones. No rule and no arithmetic lives here.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "core/array_loss.hpp"
#include "core/dense_columns.hpp"
#include "core/input_error.hpp"
#include "core/sparse_columns.hpp"
#include "loader/module.hpp"

namespace py = pybind11;

namespace {

// C-contiguous copies only where the caller's array is not one already.
template <typename T>
using Contiguous = py::array_t<T, py::array::c_style | py::array::forcecast>;

template <typename T>
std::span<const T> SpanOf(const Contiguous<T>& array) {
  return {array.data(), static_cast<std::size_t>(array.size())};
}

// (loss, Z, shares or None); single-precision shares come widened to float64.
py::tuple LossTuple(const tsneloss::ArrayLoss& result) {
  py::object shares = py::none();
  if (!result.shares.empty()) {
    shares = py::array_t<double>(static_cast<py::ssize_t>(result.shares.size()), result.shares.data());
  }
  return py::make_tuple(result.loss, result.z, shares);
}

tsneloss::ArrayLossOptions OptionsOf(std::optional<double> z, bool single, bool per_point, std::string module_path) {
  return {z, single, per_point, std::move(module_path)};
}

py::tuple LossOfSparse(const Contiguous<double>& y, std::uint64_t n, const Contiguous<std::int64_t>& rows,
                       const Contiguous<std::int64_t>& columns, const Contiguous<double>& values,
                       std::optional<double> z, bool single, bool per_point, std::string module_path) {
  const auto options = OptionsOf(z, single, per_point, std::move(module_path));
  tsneloss::ArrayLoss result;
  {
    py::gil_scoped_release unlocked;
    result = tsneloss::ComputeArrayLoss(
        SpanOf(y), y.shape(0), y.shape(1),
        [&] { return tsneloss::PackColumns(n, SpanOf(rows), SpanOf(columns), SpanOf(values), "P"); }, options);
  }
  return LossTuple(result);
}

py::tuple LossOfDense(const Contiguous<double>& y, const Contiguous<double>& p, std::optional<double> z, bool single,
                      bool per_point, std::string module_path) {
  const auto options = OptionsOf(z, single, per_point, std::move(module_path));
  tsneloss::ArrayLoss result;
  {
    py::gil_scoped_release unlocked;
    result = tsneloss::ComputeArrayLoss(
        SpanOf(y), y.shape(0), y.shape(1), [&] { return tsneloss::PackDense(SpanOf(p), p.shape(0), "P"); }, options);
  }
  return LossTuple(result);
}

double Normaliser(const Contiguous<double>& y, const std::string& method) {
  py::gil_scoped_release unlocked;
  return tsneloss::ArrayNormaliser(SpanOf(y), y.shape(0), y.shape(1), method);
}

}  // namespace

PYBIND11_MODULE(_core, m) {
  m.doc() = "The C++ side of tsneloss; use the functions of the package itself.";
  m.attr("BUILT_MODULE") = TSNELOSS_BUILT_MODULE;

  py::register_exception_translator([](std::exception_ptr raised) {
    try {
      if (raised) std::rethrow_exception(raised);
    } catch (const tsneloss::InputError& error) {
      PyErr_SetString(PyExc_ValueError, error.what());
    } catch (const matrix::loader::ModuleError& error) {
      const py::object module_error = py::module_::import("tsneloss._errors").attr("ModuleError");
      PyErr_SetObject(module_error.ptr(), py::make_tuple(error.identifier(), error.text()).ptr());
    }
  });

  m.def("loss_of_sparse", &LossOfSparse, py::arg("y"), py::arg("n"), py::arg("rows"), py::arg("columns"),
        py::arg("values"), py::arg("z"), py::arg("single"), py::arg("per_point"), py::arg("module_path"));
  m.def("loss_of_dense", &LossOfDense, py::arg("y"), py::arg("p"), py::arg("z"), py::arg("single"),
        py::arg("per_point"), py::arg("module_path"));
  m.def("normaliser", &Normaliser, py::arg("y"), py::arg("method"));
}
