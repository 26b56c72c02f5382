#include "apps/tsneloss/computed_z.hpp"

#include <unistd.h>

#include <cstdio>

#include "apps/tsneloss/progress_bar.hpp"
#include "core/notes.hpp"
#include "core/progress_labels.hpp"
#include "support/text.hpp"

namespace tsneloss::apps {

core::ChosenZ ComputeZShowingProgress(const core::Embedding& y, core::ZMethod method, unsigned threads,
                                      bool verbose) {
  core::ChosenZ computed;
  {
    ProgressBar bar(isatty(STDERR_FILENO) == 1);
    bar.Begin(core::kZLabel);
    computed = core::ComputeZ(
        y.coordinates.data(), y.n, y.d, method, [&bar](double fraction) { bar.Update(fraction); }, threads);
    bar.Finish();
  }
  if (verbose && !computed.fallback.empty()) {
    std::fprintf(stderr, "tsneloss: %s; computed the exact Z instead\n", computed.fallback.c_str());
  }
  if (computed.approximate) {
    if (verbose) {
      std::fprintf(stderr, "tsneloss: no --z given; computed the approximate Z = %s (estimated relative error %s)\n",
                   support::FormatNumber(computed.z).c_str(), support::FormatNumber(computed.relative_error, 2).c_str());
    }
    if (const auto note = core::NoteOnApproximateZ(computed.relative_error)) {
      std::fprintf(stderr, "tsneloss: warning: %s; --z-method exact gives the exact one\n", note->text.c_str());
    }
  } else if (verbose) {
    std::fprintf(stderr, "tsneloss: no --z given; computed the exact Z = %s\n", support::FormatNumber(computed.z).c_str());
  }
  return computed;
}

}  // namespace tsneloss::apps
