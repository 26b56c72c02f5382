#include "apps/tsneloss/computed_p.hpp"

#include <unistd.h>

#include <cstdio>

#include "apps/tsneloss/progress_bar.hpp"
#include "core/data_affinities.hpp"
#include "support/text.hpp"
#include "formats/affinities_writer.hpp"

namespace tsneloss {

ComputedP ComputeP(const Options& options, const Embedding& x, const std::string& source) {
  AffinitySettings settings;
  settings.perplexity = options.perplexity;
  settings.neighbours = *ParseNeighbourMethod(options.neighbours);
  settings.threads = options.threads;
  if (!options.save_p_path.empty()) CheckAffinitiesWritable(options.save_p_path);
  Affinities computed;
  {
    normaliser::ProgressBar bar(isatty(STDERR_FILENO) == 1);
    settings.progress = [&bar](double fraction) { bar.Update(fraction); };
    computed = AffinitiesFromData(x.coordinates.data(), x.n, x.d, settings, source);
  }
  const bool approximate = computed.neighbours == NeighbourMethod::kApproximate;
  if (approximate) {
    std::fprintf(stderr,
                 "tsneloss: P from approximate neighbours: an estimated %s%% of the true neighbours found (on a "
                 "sample of %zu points)\n",
                 support::FormatNumber(100 * computed.recall, 4).c_str(), computed.recall_sample);
  }
  if (!options.save_p_path.empty()) WriteAffinities(options.save_p_path, computed.p);
  ComputedP result;
  result.p = HostAffinitiesOf(computed.p);
  result.json_fields = ", \"perplexity\": " + support::FormatNumber(options.perplexity) + ", \"neighbours\": \"" +
                       NeighbourMethodName(computed.neighbours) + "\", \"neighbours_found\": " +
                       (approximate ? support::FormatNumber(computed.recall) : std::string("null"));
  return result;
}

}  // namespace tsneloss
