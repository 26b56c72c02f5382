// tsneloss: the t-SNE loss of an embedding for sparse input affinities, computed by
// the module loaded through the host's loader, exactly as the host would load it.
// Exit status: 0 on success, 1 on an error, 2 on a usage error.
#include <unistd.h>

#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>

#include "computed_z.hpp"
#include "embedding_file.hpp"
#include "input_error.hpp"
#include "loader/module.hpp"
#include "matrix_market.hpp"
#include "options.hpp"

namespace tsneloss {
namespace {

namespace api = matrix::detail::noninlined::vq_array_api;

std::string ModuleBesideTool() {
  char self[PATH_MAX];
  const ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
  if (length <= 0) return "tsnelossvek.so";
  std::string dir(self, static_cast<std::size_t>(length));
  dir = dir.substr(0, dir.find_last_of('/'));
  return dir + "/../lib/tsnelossvek.so";
}

template <typename T>
matrix::ArrayPtr HostArray(std::uint64_t m, std::uint64_t n, const std::vector<double>& values) {
  constexpr vqClassID class_id = std::is_same_v<T, double> ? vqDOUBLE_CLASS : vqSINGLE_CLASS;
  matrix::ArrayPtr array(api::vqCreateNumericMatrix(m, n, class_id, vqREAL));
  auto* data = static_cast<T*>(api::vqGetData(array.get()));
  for (std::size_t k = 0; k < values.size(); ++k) data[k] = static_cast<T>(values[k]);
  return array;
}

// Calls the module with Y and the values of P in T; returns the loss as double.
template <typename T>
double ModuleLoss(const matrix::loader::Module& module, const Embedding& y, const SparseColumns& p, double z) {
  std::vector<matrix::ArrayPtr> inputs;
  inputs.push_back(HostArray<T>(y.d, y.n, y.coordinates));
  inputs.push_back(HostArray<double>(1, p.row_indices.size(), p.row_indices));
  inputs.push_back(HostArray<double>(1, p.column_counts.size(), p.column_counts));
  inputs.push_back(HostArray<T>(1, p.values.size(), p.values));
  inputs.push_back(HostArray<double>(1, 1, {z}));
  std::vector<const vqArray_tag*> handles;
  for (const auto& input : inputs) handles.push_back(input.get());
  const auto outputs = module.Call(1, handles);
  T loss;
  std::memcpy(&loss, api::vqGetData(outputs.at(0).get()), sizeof loss);
  return static_cast<double>(loss);
}

std::string JsonNumber(double value, int digits) {
  if (!std::isfinite(value)) return "null";
  char text[40];
  std::snprintf(text, sizeof text, "%.*g", digits, value);
  return text;
}

int Run(const Options& options) {
  const Embedding y = ReadEmbedding(options.embedding_path);
  const SparseColumns p = ReadMatrixMarket(options.affinities_path);
  if (p.n != y.n) {
    throw InputError(options.affinities_path,
                     "P is " + std::to_string(p.n) + " by " + std::to_string(p.n) + ", but the embedding " +
                         options.embedding_path + " has " + std::to_string(y.n) + " points");
  }
  double sum_p = 0;
  for (const double value : p.values) sum_p += value;
  if (std::abs(sum_p - 1.0) > 1e-6) {
    std::fprintf(stderr, "tsneloss: warning: the stored values of P add up to %.17g, not 1; the loss is a KL divergence only for a normalised P\n", sum_p);
  }
  ComputedZ computed;
  if (!options.z) computed = ComputeZ(y, options.z_method);
  const double z = options.z ? *options.z : computed.z;
  const auto module = matrix::loader::Module::Open(
      options.module_path.empty() ? ModuleBesideTool() : options.module_path);
  const double loss = options.single ? ModuleLoss<float>(module, y, p, z) : ModuleLoss<double>(module, y, p, z);
  const int digits = options.single ? 9 : 17;
  if (options.json) {
    const char* z_method = options.z ? "given" : computed.approximate ? "approximate" : "exact";
    const std::string z_error = computed.approximate ? JsonNumber(computed.relative_error, 3) : "null";
    std::printf("{\"loss\": %s, \"n\": %llu, \"d\": %llu, \"nnz\": %zu, \"z\": %s, \"z_computed\": %s, "
                "\"z_method\": \"%s\", \"z_relative_error\": %s, \"precision\": \"%s\", \"sum_p\": %s}\n",
                JsonNumber(loss, digits).c_str(), static_cast<unsigned long long>(y.n),
                static_cast<unsigned long long>(y.d), p.values.size(), JsonNumber(z, 17).c_str(),
                options.z ? "false" : "true", z_method, z_error.c_str(), options.single ? "single" : "double",
                JsonNumber(sum_p, 17).c_str());
  } else {
    std::printf("%.*g\n", digits, loss);
  }
  return 0;
}

}  // namespace
}  // namespace tsneloss

int main(int argc, char** argv) {
  using namespace tsneloss;
  Options options;
  try {
    options = ParseOptions(argc, argv);
  } catch (const UsageError& error) {
    std::fprintf(stderr, "tsneloss: %s\n\n%s", error.what(), kUsage);
    return 2;
  }
  if (options.help) {
    std::printf("%s", kUsage);
    return 0;
  }
  try {
    return Run(options);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "tsneloss: %s\n", error.what());
    return 1;
  }
}
