#include "apps/tsneloss/computed_p.hpp"

#include <unistd.h>

#include <cstdio>

#include "apps/tsneloss/interrupt_cleanup.hpp"
#include "apps/tsneloss/progress_bar.hpp"
#include "core/data_affinities.hpp"
#include "core/notes.hpp"
#include "core/progress_labels.hpp"
#include "formats/affinities_writer.hpp"
#include "support/text.hpp"

namespace tsneloss::apps {

ComputedP ComputeP(const Options& options, const core::Embedding& x, const std::string& source) {
  core::AffinitySettings settings;
  settings.perplexity = options.perplexity;
  settings.neighbours = *core::ParseNeighbourMethod(options.neighbours);
  settings.threads = options.threads;
  if (!options.save_p_path.empty()) {
    RemoveOnInterrupt(formats::TemporaryPathOf(options.save_p_path));
    formats::CheckAffinitiesWritable(options.save_p_path);
  }
  core::Affinities computed;
  {
    ProgressBar bar(isatty(STDERR_FILENO) == 1);
    settings.phase = [&bar](core::Phase phase) { bar.Begin(core::PhaseLabel(phase)); };
    settings.progress = [&bar](double fraction) { bar.Update(fraction); };
    computed = core::AffinitiesFromData(x.coordinates.data(), x.n, x.d, settings, source);
    bar.Finish();
  }
  if (options.verbose && computed.neighbours == core::NeighbourMethod::kApproximate) {
    std::fprintf(stderr,
                 "tsneloss: P from approximate neighbours: an estimated %s%% of the true neighbours found (on a "
                 "sample of %zu points)\n",
                 support::FormatNumber(100 * computed.recall, 4).c_str(), computed.recall_sample);
  }
  if (!options.save_p_path.empty()) formats::WriteAffinities(options.save_p_path, computed.p);
  ComputedP result;
  result.p = core::HostAffinitiesOf(computed.p);
  result.notes = core::NotesOnAffinities(computed, options.perplexity);
  result.json_fields = ", \"perplexity\": " + support::FormatNumber(options.perplexity) + ", \"neighbours\": \"" +
                       core::NeighbourMethodName(computed.neighbours) + "\", \"neighbours_found\": " + support::FormatNumber(computed.recall);
  return result;
}

}  // namespace tsneloss::apps
