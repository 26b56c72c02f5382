#include "apps/tsneloss/computed_p.hpp"

#include <unistd.h>

#include <cstdio>

#include "apps/tsneloss/interrupt_cleanup.hpp"
#include "apps/tsneloss/progress_bar.hpp"
#include "core/data_affinities.hpp"
#include "core/metric_affinities.hpp"
#include "core/notes.hpp"
#include "formats/affinities_writer.hpp"
#include "support/text.hpp"

namespace tsneloss::apps {

std::string SavePathFor(const std::string& path, double perplexity, bool several) {
  if (!several) return path;
  const std::size_t dot = path.rfind('.');
  return path.substr(0, dot) + ".perplexity-" + support::FormatNumber(perplexity) + path.substr(dot);
}

std::vector<ComputedP> ComputeP(const Options& options, const core::Embedding& x, const std::string& source) {
  core::AffinitySettings settings;
  settings.metric = *core::ParseMetric(options.metric);
  settings.neighbours = *core::ParseNeighbourMethod(options.neighbours);
  settings.threads = options.threads;
  const bool several = options.perplexities.size() > 1;
  if (!options.save_p_path.empty()) {
    for (const double perplexity : options.perplexities) {
      const std::string path = SavePathFor(options.save_p_path, perplexity, several);
      RemoveOnInterrupt(formats::TemporaryPathOf(path));
      formats::CheckAffinitiesWritable(path);
    }
  }
  std::vector<core::Affinities> all;
  {
    ProgressBar bar(isatty(STDERR_FILENO) == 1);
    settings.progress = [&bar](double fraction) { bar.Update(fraction); };
    all = core::AffinitiesFromData(x.coordinates.data(), x.n, x.d, options.perplexities, settings, source);
  }
  std::vector<ComputedP> results;
  for (std::size_t m = 0; m < all.size(); ++m) {
    const core::Affinities& computed = all[m];
    const double perplexity = options.perplexities[m];
    const bool approximate = computed.neighbours == core::NeighbourMethod::kApproximate;
    if (approximate && m == 0) {
      std::fprintf(stderr,
                   "tsneloss: P from approximate neighbours: an estimated %s%% of the true neighbours found (on a "
                   "sample of %zu points)\n",
                   support::FormatNumber(100 * computed.recall, 4).c_str(), computed.recall_sample);
    }
    if (!options.save_p_path.empty()) {
      formats::WriteAffinities(SavePathFor(options.save_p_path, perplexity, several), computed.p);
    }
    ComputedP result;
    result.p = core::HostAffinitiesOf(computed.p);
    result.notes = core::NotesOnAffinities(computed, perplexity);
    const auto approximate_only = [approximate](double value) {
      return approximate ? support::FormatNumber(value) : std::string("null");
    };
    result.json_fields = ", \"perplexity\": " + support::FormatNumber(perplexity) + ", \"metric\": \"" +
                         options.metric + "\", \"neighbours\": \"" + core::NeighbourMethodName(computed.neighbours) +
                         "\", \"neighbours_found\": " + approximate_only(computed.recall) +
                         ", \"neighbours_found_error\": " + approximate_only(core::RecallStandardError(computed));
    results.push_back(std::move(result));
  }
  return results;
}

}  // namespace tsneloss::apps
