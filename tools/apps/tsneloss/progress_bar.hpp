// A progress bar on stderr for long work, one line per phase, shown only once the
// work has run for about a second. A phase that ends is drawn full before the next
// begins; work that stops short leaves its line as it was, ended.
#pragma once

#include <chrono>
#include <cstdio>
#include <string>
#include <string_view>

namespace tsneloss::apps {

class ProgressBar {
 public:
  // `enabled` false: draws nothing (say, when stderr is not a terminal).
  explicit ProgressBar(bool enabled, std::FILE* stream = stderr,
                       std::chrono::duration<double> delay = std::chrono::seconds(1));
  ~ProgressBar();
  ProgressBar(const ProgressBar&) = delete;
  ProgressBar& operator=(const ProgressBar&) = delete;

  // A phase named `label` begins; the one before, if drawn, is drawn done.
  void Begin(std::string_view label);
  // Redraws the bar for `fraction` (0 to 1) of the phase done.
  void Update(double fraction);
  // The work is done: the last phase, if drawn, is drawn done.
  void Finish();

 private:
  void Draw(double fraction);
  void EndLine();

  bool enabled_;
  std::FILE* stream_;
  std::chrono::duration<double> delay_;
  std::chrono::steady_clock::time_point start_;
  std::string label_;
  bool drawn_ = false;  // the phase's line is on the stream, not yet ended
};

}  // namespace tsneloss::apps
