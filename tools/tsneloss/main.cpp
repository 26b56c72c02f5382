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
#include "input_source.hpp"
#include "loader/module.hpp"
#include "matrix_market.hpp"
#include "options.hpp"
#include "per_point_shares.hpp"
#include "shares_file.hpp"

namespace tsneloss {
namespace {

namespace api = matrix::detail::noninlined::vq_array_api;

// Above this relative difference from the double-precision loss, --single says so.
constexpr double kSingleNoteThreshold = 1e-6;

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

// A number as text: "inf", "-inf" and "nan" (never "-nan") where it is not finite.
std::string Number(double value, int digits) {
  if (std::isnan(value)) return "nan";
  if (std::isinf(value)) return value > 0 ? "inf" : "-inf";
  char text[40];
  std::snprintf(text, sizeof text, "%.*g", digits, value);
  return text;
}

// JSON has no infinities or NaN: those are written as the strings "inf", "-inf", "nan".
std::string JsonNumber(double value, int digits) {
  const std::string text = Number(value, digits);
  return std::isfinite(value) ? text : "\"" + text + "\"";
}

double RelativeDifference(double approximate, double exact) {
  if (approximate == exact) return 0;
  return std::abs(approximate - exact) / std::abs(exact);
}

int Run(const Options& options) {
  InputSource embedding_source(options.embedding_path);
  const Embedding y = ReadEmbedding(embedding_source, !options.z);
  InputSource affinities_source(options.affinities_path);
  const SparseColumns p = ReadMatrixMarket(affinities_source, {y.n, y.d, embedding_source.name()});
  if (p.merged_positions > 0) {
    std::fprintf(stderr, "tsneloss: note: %llu positions of P were given more than once; their values were added together\n",
                 static_cast<unsigned long long>(p.merged_positions));
  }
  double sum_p = 0;
  for (const double value : p.values) sum_p += value;
  if (std::abs(sum_p - 1.0) > 1e-6) {
    std::fprintf(stderr, "tsneloss: warning: the stored values of P add up to %.17g, not 1; the loss is a KL divergence only for a normalised P\n", sum_p);
  }
  normaliser::ChosenZ computed;
  if (!options.z) {
    computed = ComputeZ(y, *normaliser::ParseZMethod(options.z_method));
    if (!(std::isfinite(computed.z) && computed.z > 0)) {
      throw InputError(embedding_source.name(), std::string("the ") + (computed.approximate ? "approximate" : "exact") +
                                                    " Z of this embedding is " + Number(computed.z, 17) +
                                                    " in double precision (its points are too far apart); give --z");
    }
  }
  const double z = options.z ? *options.z : computed.z;
  const auto module = matrix::loader::Module::Open(
      options.module_path.empty() ? ModuleBesideTool() : options.module_path);
  const double loss_double = ModuleLoss<double>(module, y, p, z);
  const double loss = options.single ? ModuleLoss<float>(module, y, p, z) : loss_double;
  const int digits = options.single ? 9 : 17;
  if (options.single) {
    const double difference = RelativeDifference(loss, loss_double);
    if (!(difference <= kSingleNoteThreshold)) {
      std::fprintf(stderr, "tsneloss: note: the single-precision loss differs from the double-precision loss %s by a relative %s; it accumulates every term in single precision\n",
                   Number(loss_double, 17).c_str(), Number(difference, 2).c_str());
    }
  }
  if (!options.per_point_path.empty()) {
    WriteShares(options.per_point_path, PerPointShares(y, p, z, options.single), options.single);
  }
  if (options.json) {
    const std::string double_field = options.single ? ", \"loss_double\": " + JsonNumber(loss_double, 17) : "";
    const char* z_method = options.z ? "given" : computed.approximate ? "approximate" : "exact";
    const std::string z_error = computed.approximate ? JsonNumber(computed.relative_error, 3) : "null";
    std::printf("{\"loss\": %s%s, \"n\": %llu, \"d\": %llu, \"nnz\": %zu, \"merged_positions\": %llu, \"z\": %s, "
                "\"z_computed\": %s, \"z_method\": \"%s\", \"z_relative_error\": %s, \"precision\": \"%s\", "
                "\"sum_p\": %s}\n",
                JsonNumber(loss, digits).c_str(), double_field.c_str(), static_cast<unsigned long long>(y.n),
                static_cast<unsigned long long>(y.d), p.values.size(),
                static_cast<unsigned long long>(p.merged_positions), JsonNumber(z, 17).c_str(),
                options.z ? "false" : "true", z_method, z_error.c_str(), options.single ? "single" : "double",
                JsonNumber(sum_p, 17).c_str());
  } else {
    std::printf("%s\n", Number(loss, digits).c_str());
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
  if (options.version) {
    std::printf("%s\n", kVersion);
    return 0;
  }
  try {
    return Run(options);
  } catch (const std::bad_alloc&) {
    std::fprintf(stderr, "tsneloss: out of memory reading %s and %s\n", options.embedding_path.c_str(),
                 options.affinities_path.c_str());
    return 1;
  } catch (const std::exception& error) {
    std::fprintf(stderr, "tsneloss: %s\n", error.what());
    return 1;
  }
}
