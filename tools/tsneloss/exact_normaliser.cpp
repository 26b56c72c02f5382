#include "exact_normaliser.hpp"

#include <chrono>
#include <cstdio>

namespace tsneloss {
namespace {

class ProgressBar {
 public:
  explicit ProgressBar(bool enabled) : enabled_(enabled), start_(std::chrono::steady_clock::now()) {}
  ~ProgressBar() {
    if (shown_) std::fprintf(stderr, "\n");
  }
  void Update(double fraction) {
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

 private:
  bool enabled_;
  bool shown_ = false;
  std::chrono::steady_clock::time_point start_;
};

}  // namespace

double ExactNormaliser(const Embedding& embedding, bool show_progress) {
  ProgressBar progress(show_progress);
  const double* y = embedding.coordinates.data();
  const std::uint64_t n = embedding.n;
  const std::uint64_t d = embedding.d;
  // Each unordered pair once, then doubled: the sum is symmetric in i and j.
  double half = 0;
  for (std::uint64_t i = 0; i < n; ++i) {
    double row = 0;
    for (std::uint64_t j = i + 1; j < n; ++j) {
      double squared = 0;
      for (std::uint64_t k = 0; k < d; ++k) {
        const double diff = y[i * d + k] - y[j * d + k];
        squared += diff * diff;
      }
      row += 1.0 / (1.0 + squared);
    }
    half += row;
    // Row i holds n - 1 - i pairs: the share done grows with the square.
    if (i % 64 == 0) progress.Update(1.0 - static_cast<double>((n - i) * (n - i)) / (static_cast<double>(n) * n));
  }
  progress.Update(1.0);
  return 2.0 * half;
}

}  // namespace tsneloss
