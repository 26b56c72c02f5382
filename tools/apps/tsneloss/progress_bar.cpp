#include "apps/tsneloss/progress_bar.hpp"

#include <cstdio>

namespace tsneloss::apps {

ProgressBar::ProgressBar(bool enabled) : enabled_(enabled), start_(std::chrono::steady_clock::now()) {}

ProgressBar::~ProgressBar() {
  if (shown_) std::fprintf(stderr, "\n");
}

void ProgressBar::Update(double fraction) {
  if (!enabled_) return;
  const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
  if (elapsed < 1.0) return;
  shown_ = true;
  const int width = 40;
  const int filled = static_cast<int>(fraction * width);
  std::fprintf(stderr, "\rcomputing Z [%.*s%*s] %3d%%", filled, "########################################",
               width - filled, "", static_cast<int>(fraction * 100));
  std::fflush(stderr);
}

}  // namespace tsneloss::apps
