#include "apps/tsneloss/computed_p.hpp"

#include <unistd.h>

#include <cstdio>

#include "apps/tsneloss/interrupt_cleanup.hpp"
#include "apps/tsneloss/progress_bar.hpp"
#include "core/data_affinities.hpp"
#include "core/metric_affinities.hpp"
#include "core/notes.hpp"
#include "core/precomputed_affinities.hpp"
#include "core/progress_labels.hpp"
#include "formats/affinities_writer.hpp"
#include "support/text.hpp"

namespace tsneloss::apps {

std::string SavePathFor(const std::string& path, double perplexity, bool several) {
  if (!several) return path;
  const std::size_t dot = path.rfind('.');
  return path.substr(0, dot) + ".perplexity-" + support::FormatNumber(perplexity) + path.substr(dot);
}

namespace {

core::AffinitySettings SettingsOf(const Options& options) {
  core::AffinitySettings settings;
  settings.metric = *core::ParseMetric(options.metric);
  settings.neighbours = *core::ParseNeighbourMethod(options.neighbours);
  settings.threads = options.threads;
  return settings;
}

// Each --save-p file writable, and removed if Ctrl-C stops its writing.
void PrepareSaving(const Options& options) {
  if (options.save_p_path.empty()) return;
  for (const double perplexity : options.perplexities) {
    const std::string path = SavePathFor(options.save_p_path, perplexity, options.perplexities.size() > 1);
    RemoveOnInterrupt(formats::TemporaryPathOf(path));
    formats::CheckAffinitiesWritable(path);
  }
}

// Each P saved where asked, packed for the module, with its notes and JSON fields.
std::vector<ComputedP> Rendered(const Options& options, const std::vector<core::Affinities>& all) {
  std::vector<ComputedP> results;
  for (std::size_t m = 0; m < all.size(); ++m) {
    const core::Affinities& computed = all[m];
    const double perplexity = options.perplexities[m];
    const bool approximate = computed.neighbours == core::NeighbourMethod::kApproximate;
    if (options.verbose && approximate && m == 0) {
      std::fprintf(stderr,
                   "tsneloss: P from approximate neighbours: an estimated %s%% of the true neighbours found (on a "
                   "sample of %zu points)\n",
                   support::FormatNumber(100 * computed.recall, 4).c_str(), computed.recall_sample);
    }
    if (!options.save_p_path.empty()) {
      formats::WriteAffinities(SavePathFor(options.save_p_path, perplexity, all.size() > 1), computed.p);
    }
    ComputedP result;
    result.p = core::HostAffinitiesOf(computed.p);
    result.notes = core::NotesOnAffinities(computed, perplexity);
    result.json_fields = ", \"perplexity\": " + support::FormatNumber(perplexity) + ", \"metric\": \"" +
                         options.metric + "\", \"neighbours\": \"" + core::NeighbourMethodName(computed.neighbours) +
                         "\", \"neighbours_found\": " + support::FormatNumber(computed.recall) +
                         ", \"neighbours_found_error\": " + support::FormatNumber(core::RecallStandardError(computed));
    results.push_back(std::move(result));
  }
  return results;
}

}  // namespace

std::vector<ComputedP> ComputeP(const Options& options, const core::Embedding& x, const std::string& source) {
  core::AffinitySettings settings = SettingsOf(options);
  PrepareSaving(options);
  std::vector<core::Affinities> all;
  {
    ProgressBar bar(isatty(STDERR_FILENO) == 1);
    settings.phase = [&bar](core::Phase phase) { bar.Begin(core::PhaseLabel(phase)); };
    settings.progress = [&bar](double fraction) { bar.Update(fraction); };
    all = core::AffinitiesFromData(x.coordinates.data(), x.n, x.d, options.perplexities, settings, source);
    bar.Finish();
  }
  return Rendered(options, all);
}

std::vector<ComputedP> ComputePFromDistances(const Options& options, const core::SparseColumns& distances,
                                             const std::string& source) {
  PrepareSaving(options);
  return Rendered(options, core::AffinitiesFromColumns(distances, options.perplexities, SettingsOf(options), source));
}

}  // namespace tsneloss::apps
