#include "apps/tsneloss/progress_bar.hpp"

namespace tsneloss::apps {
namespace {

constexpr int kWidth = 40;
// Wide enough for every phase's label, so that the bars line up.
constexpr int kLabelWidth = 20;

}  // namespace

ProgressBar::ProgressBar(bool enabled, std::FILE* stream, std::chrono::duration<double> delay)
    : enabled_(enabled), stream_(stream), delay_(delay), start_(std::chrono::steady_clock::now()) {}

ProgressBar::~ProgressBar() { EndLine(); }

void ProgressBar::Begin(std::string_view label) {
  Finish();
  label_ = label;
}

void ProgressBar::Update(double fraction) {
  if (!enabled_ || std::chrono::steady_clock::now() - start_ < delay_) return;
  Draw(fraction);
}

void ProgressBar::Finish() {
  if (!drawn_) return;
  Draw(1.0);
  EndLine();
}

void ProgressBar::Draw(double fraction) {
  const int filled = static_cast<int>(fraction * kWidth);
  std::fprintf(stream_, "\r%-*s [%.*s%*s] %3d%%", kLabelWidth, label_.c_str(), filled,
               "########################################", kWidth - filled, "", static_cast<int>(fraction * 100));
  std::fflush(stream_);
  drawn_ = true;
}

void ProgressBar::EndLine() {
  if (!drawn_) return;
  std::fprintf(stream_, "\n");
  drawn_ = false;
}

}  // namespace tsneloss::apps
