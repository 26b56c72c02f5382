// A file the tool is writing, removed when the tool is interrupted (SIGINT, SIGTERM,
// SIGHUP) before it is complete.
#pragma once

#include <string>

namespace tsneloss::apps {

// From now on, such a signal removes `path` (if it is there), then ends the process
// as the signal would have. One path at a time; a later call replaces it.
void RemoveOnInterrupt(const std::string& path);

}  // namespace tsneloss::apps
