#include "core/module_call.hpp"

#include <unistd.h>

#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <type_traits>

#include "support/huge_pages.hpp"

namespace tsneloss::core {
namespace {

namespace api = matrix::detail::noninlined::vq_array_api;

matrix::ArrayPtr NewRow(std::uint64_t columns, vqClassID class_id) {
  return matrix::ArrayPtr(api::vqCreateNumericMatrix(1, columns, class_id, vqREAL));
}

double* DataOf(const matrix::ArrayPtr& array) { return static_cast<double*>(api::vqGetData(array.get())); }

// Modules opened by CachedModule, never closed: a call may still run on another
// thread while the process exits.
using ModuleCache = std::map<std::string, std::unique_ptr<matrix::loader::Module>>;

ModuleCache& Cache() {
  static auto* const modules = new ModuleCache;
  return *modules;
}

std::mutex& CacheMutex() {
  static std::mutex mutex;
  return mutex;
}

}  // namespace

const double* ArrayData(const matrix::ArrayPtr& array) { return DataOf(array); }

double* AdviseHugePages(double* data, std::uint64_t elements) {
  support::AdviseHugePages(data, elements * sizeof(double));
  return data;
}

matrix::ArrayPtr NewHostRow(std::uint64_t columns) {
  matrix::ArrayPtr array = NewRow(columns, vqDOUBLE_CLASS);
  AdviseHugePages(DataOf(array), columns);
  return array;
}

double SumOfValues(const HostAffinities& p) {
  const double* values = DataOf(p.values);
  double sum = 0;
  for (std::uint64_t k = 0; k < p.nnz; ++k) sum += values[k];
  return sum;
}

template <typename T>
matrix::ArrayPtr HostPoints(const double* coordinates, std::uint64_t n, std::uint64_t d) {
  constexpr vqClassID class_id = std::is_same_v<T, double> ? vqDOUBLE_CLASS : vqSINGLE_CLASS;
  matrix::ArrayPtr points(api::vqCreateNumericMatrix(d, n, class_id, vqREAL));
  auto* point_data = static_cast<T*>(api::vqGetData(points.get()));
  for (std::uint64_t k = 0; k < n * d; ++k) point_data[k] = static_cast<T>(coordinates[k]);
  return points;
}

template matrix::ArrayPtr HostPoints<double>(const double*, std::uint64_t, std::uint64_t);
template matrix::ArrayPtr HostPoints<float>(const double*, std::uint64_t, std::uint64_t);

double ModuleLoss(const matrix::loader::Module& module, const vqArray_tag* points, const HostAffinities& p, double z) {
  const bool single = api::vqGetClassID(points) == vqSINGLE_CLASS;
  // Single precision needs P's values in float: a rounded copy, the one extra array.
  matrix::ArrayPtr single_values;
  const vqArray_tag* values = p.values.get();
  if (single) {
    single_values = NewRow(p.nnz, vqSINGLE_CLASS);
    auto* rounded = static_cast<float*>(api::vqGetData(single_values.get()));
    const double* exact = DataOf(p.values);
    for (std::uint64_t k = 0; k < p.nnz; ++k) rounded[k] = static_cast<float>(exact[k]);
    values = single_values.get();
  }
  matrix::ArrayPtr normaliser(api::vqCreateNumericMatrix(1, 1, vqDOUBLE_CLASS, vqREAL));
  *static_cast<double*>(api::vqGetData(normaliser.get())) = z;
  const auto outputs = module.Call(1, {points, p.row_indices.get(), p.column_counts.get(), values, normaliser.get()});
  const void* loss = api::vqGetData(outputs.at(0).get());
  if (single) {
    float single_loss;
    std::memcpy(&single_loss, loss, sizeof single_loss);
    return static_cast<double>(single_loss);
  }
  double double_loss;
  std::memcpy(&double_loss, loss, sizeof double_loss);
  return double_loss;
}

template <typename T>
double ModuleLoss(const matrix::loader::Module& module, const Embedding& y, const HostAffinities& p, double z) {
  const matrix::ArrayPtr points = HostPoints<T>(y.coordinates.data(), y.n, y.d);
  return ModuleLoss(module, points.get(), p, z);
}

template double ModuleLoss<double>(const matrix::loader::Module&, const Embedding&, const HostAffinities&, double);
template double ModuleLoss<float>(const matrix::loader::Module&, const Embedding&, const HostAffinities&, double);

const matrix::loader::Module& CachedModule(const std::string& path) {
  const std::lock_guard lock(CacheMutex());
  auto& modules = Cache();
  auto found = modules.find(path);
  if (found == modules.end()) {
    found = modules.emplace(path, std::make_unique<matrix::loader::Module>(matrix::loader::Module::Open(path))).first;
  }
  return *found->second;
}

std::size_t CachedModuleCount() {
  const std::lock_guard lock(CacheMutex());
  return Cache().size();
}

std::string ModulePath(const std::string& given) {
  if (!given.empty()) return given;
  if (const char* variable = std::getenv("TSNELOSS_MODULE"); variable != nullptr && *variable != '\0') return variable;
  // The installed layout, which the build tree shares: bin/tsneloss, lib/tsnelossvek.so.
  char self[PATH_MAX];
  const ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
  if (length <= 0) return "tsnelossvek.so";
  std::string dir(self, static_cast<std::size_t>(length));
  dir = dir.substr(0, dir.find_last_of('/'));
  return dir + "/../lib/tsnelossvek.so";
}

}  // namespace tsneloss::core
