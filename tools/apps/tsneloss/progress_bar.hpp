// A progress bar on stderr for long sums, shown only once the work has run for about
// a second; the line is ended when the bar goes away.
#pragma once

#include <chrono>

namespace tsneloss::apps {

class ProgressBar {
 public:
  // `enabled` false: Update draws nothing (say, when stderr is not a terminal).
  explicit ProgressBar(bool enabled);
  ~ProgressBar();
  ProgressBar(const ProgressBar&) = delete;
  ProgressBar& operator=(const ProgressBar&) = delete;

  // Redraws the bar for `fraction` (0 to 1) done.
  void Update(double fraction);

 private:
  bool enabled_;
  bool shown_ = false;
  std::chrono::steady_clock::time_point start_;
};

}  // namespace tsneloss::apps
