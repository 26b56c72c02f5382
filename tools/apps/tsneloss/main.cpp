// tsneloss: the t-SNE loss of an embedding for sparse input affinities, computed by
// the module loaded through the host's loader, exactly as the host would load it.
// Exit status: 0 on success, 1 on an error, 2 on a usage error.
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "apps/tsneloss/computed_p.hpp"
#include "apps/tsneloss/computed_z.hpp"
#include "apps/tsneloss/file_roles.hpp"
#include "apps/tsneloss/options.hpp"
#include "core/input_error.hpp"
#include "core/input_rules.hpp"
#include "core/memory_budget.hpp"
#include "core/module_call.hpp"
#include "core/notes.hpp"
#include "core/per_point_shares.hpp"
#include "formats/affinities_file.hpp"
#include "formats/embedding_file.hpp"
#include "formats/input_source.hpp"
#include "formats/shares_file.hpp"
#include "loader/module.hpp"
#include "support/text.hpp"
#include "support/version.hpp"

namespace tsneloss::apps {
namespace {

// JSON has no infinities or NaN: those are written as the strings "inf", "-inf", "nan".
std::string JsonNumber(double value, int digits) {
  const std::string text = support::FormatNumber(value, digits);
  return std::isfinite(value) ? text : "\"" + text + "\"";
}

// A note of core's on standard error: warnings always, notes that only inform with
// --verbose.
void Say(const core::Note& note, const Options& options) {
  if (!note.warning && !options.verbose) return;
  std::fprintf(stderr, "tsneloss: %s: %s\n", note.warning ? "warning" : "note", note.text.c_str());
}

// Z of an embedding where --z gives none.
core::ChosenZ ComputedZ(const Options& options, const core::Embedding& y, const std::string& embedding_name) {
  core::ChosenZ computed;
  if (!options.z) {
    computed = ComputeZShowingProgress(y, *core::ParseZMethod(options.z_method), options.threads, options.verbose);
    const std::string fault = core::ComputedNormaliserFault(computed.z, computed.approximate, "--z");
    if (!fault.empty()) throw core::InputError(embedding_name, fault);
  }
  return computed;
}

// The loss of one embedding against P, printed as one line.
void ScoreEmbedding(const Options& options, const matrix::loader::Module& module, const core::Embedding& y,
                    const std::string& embedding_name, const core::ChosenZ& computed, const core::HostAffinities& p,
                    double sum_p, const std::string& p_fields) {
  const double z = options.z ? *options.z : computed.z;
  const double loss_double = core::ModuleLoss<double>(module, y, p, z);
  const double loss = options.single ? core::ModuleLoss<float>(module, y, p, z) : loss_double;
  core::CheckLosses(loss_double, loss, options.single, embedding_name);
  const int digits = options.single ? 9 : 17;
  if (options.single) {
    if (const auto note = core::NoteOnSinglePrecision(loss, loss_double)) Say(*note, options);
  }
  if (!options.per_point_path.empty()) {
    formats::WriteShares(options.per_point_path,
                core::PerPointShares(y, core::ArrayData(p.column_counts), core::ArrayData(p.row_indices), core::ArrayData(p.values), z,
                               options.single),
                options.single);
  }
  if (options.json) {
    const std::string double_field = options.single ? ", \"loss_double\": " + JsonNumber(loss_double, 17) : "";
    const char* z_method = options.z ? "given" : computed.approximate ? "approximate" : "exact";
    const std::string z_error = computed.approximate ? JsonNumber(computed.relative_error, 3) : "null";
    std::printf("{\"loss\": %s%s, \"n\": %llu, \"d\": %llu, \"nnz\": %llu, \"merged_positions\": %llu, \"z\": %s, "
                "\"z_computed\": %s, \"z_method\": \"%s\", \"z_relative_error\": %s, \"precision\": \"%s\", "
                "\"sum_p\": %s%s}\n",
                JsonNumber(loss, digits).c_str(), double_field.c_str(), static_cast<unsigned long long>(y.n),
                static_cast<unsigned long long>(y.d), static_cast<unsigned long long>(p.nnz),
                static_cast<unsigned long long>(p.merged_positions), JsonNumber(z, 17).c_str(),
                options.z ? "false" : "true", z_method, z_error.c_str(), options.single ? "single" : "double",
                JsonNumber(sum_p, 17).c_str(), p_fields.c_str());
  } else {
    std::printf("%s\n", support::FormatNumber(loss, digits).c_str());
  }
  // Each line is out before the next embedding is read.
  std::fflush(stdout);
}

int Run(const Options& options) {
  std::optional<matrix::loader::Module> module;
  try {
    module.emplace(matrix::loader::Module::Open(core::ModulePath(options.module_path)));
  } catch (const matrix::loader::LoadError& error) {
    if (!options.module_path.empty()) throw;
    throw matrix::loader::LoadError(std::string(error.what()) + " (give --module PATH or set TSNELOSS_MODULE)");
  }
  // The first embedding fixes N; P is read once, straight into the module's arrays,
  // or computed once from the data, which is read first: its faults are its own.
  formats::ParallelReading reading;
  reading.threads = options.threads;
  std::optional<formats::InputSource> data_source;
  core::Embedding x;
  const bool distances = options.metric == "precomputed";
  if (!options.data_path.empty()) {
    data_source.emplace(options.data_path);
    if (!distances) x = formats::ReadData(*data_source, reading);
  }
  formats::InputSource first_source(options.embedding_paths.front());
  core::Embedding y = formats::ReadEmbedding(first_source, !options.z, reading);
  // One P read, or one per perplexity computed.
  std::vector<ComputedP> ps;
  std::string p_name;
  if (!data_source) {
    formats::InputSource affinities_source(options.affinities_path);
    p_name = affinities_source.name();
    ps.emplace_back();
    ps.back().p = formats::ReadHostAffinities(affinities_source, {y.n, y.d, first_source.name()}, reading);
  } else if (distances) {
    p_name = data_source->name();
    ps = ComputePFromDistances(options, formats::ReadAffinities(*data_source, {y.n, y.d, first_source.name()}, reading),
                               p_name);
  } else {
    p_name = data_source->name();
    core::CheckDataMatchesEmbedding(x.n, p_name, y.n, first_source.name());
    if (const auto note = core::NoteOnDataDimension(x.d, y.d)) Say(*note, options);
    ps = ComputeP(options, x, p_name);
    x = core::Embedding();
  }
  for (const ComputedP& computed : ps) {
    for (const core::Note& note : computed.notes) Say(note, options);
  }
  std::vector<double> sums;
  for (const ComputedP& computed : ps) {
    sums.push_back(core::SumOfValues(computed.p));
    for (const core::Note& note : core::NotesOnP(computed.p.merged_positions, sums.back())) Say(note, options);
  }
  const auto score = [&](const std::string& embedding_name) {
    const core::ChosenZ z = ComputedZ(options, y, embedding_name);
    for (std::size_t m = 0; m < ps.size(); ++m) {
      ScoreEmbedding(options, *module, y, embedding_name, z, ps[m].p, sums[m], ps[m].json_fields);
    }
  };
  score(first_source.name());
  for (std::size_t k = 1; k < options.embedding_paths.size(); ++k) {
    formats::InputSource source(options.embedding_paths[k]);
    y = formats::ReadEmbedding(source, !options.z, reading);
    core::CheckSizesAgree(ps.front().p.n, p_name, y.n, y.d, source.name());
    score(source.name());
  }
  return 0;
}

}  // namespace
}  // namespace tsneloss::apps

int main(int argc, char** argv) {
  using namespace tsneloss::apps;
  Options options;
  try {
    options = ParseOptions(argc, argv);
    if (!options.help && !options.version) {
      CheckOutputsApart(options);
      CheckNoAffinitiesGiven(options);
    }
  } catch (const UsageError& error) {
    std::fprintf(stderr, "tsneloss: %s\n", error.what());
    if (error.show_synopsis()) std::fprintf(stderr, "%.*s", static_cast<int>(Synopsis().size()), Synopsis().data());
    std::fprintf(stderr, "see tsneloss --help\n");
    return 2;
  }
  if (options.help) {
    std::printf("%s", kUsage);
    return 0;
  }
  if (options.version) {
    std::printf("tsneloss %s\n", tsneloss::support::kVersion);
    return 0;
  }
  try {
    return Run(options);
  } catch (const tsneloss::core::OutOfMemoryError& error) {
    std::fprintf(stderr, "tsneloss: %s\n", error.what());
    return 1;
  } catch (const std::bad_alloc&) {
    std::fprintf(stderr, "tsneloss: out of memory reading %s and %s\n", options.embedding_paths.front().c_str(),
                 options.data_path.empty() ? options.affinities_path.c_str() : options.data_path.c_str());
    return 1;
  } catch (const std::exception& error) {
    std::fprintf(stderr, "tsneloss: %s\n", error.what());
    return 1;
  }
}
