// Embeddings of the shapes t-SNE produces and of the ones that break naive sums: one
// tight cluster, many clusters, uniform, clusters with a few far outliers. Points are
// stored point after point (N by D, row-major).
#pragma once

#include <cstddef>
#include <random>
#include <string>
#include <vector>

namespace tsne_test {

enum class Shape { kTightCluster, kManyClusters, kUniform, kFarOutliers };

inline const char* ShapeName(Shape shape) {
  switch (shape) {
    case Shape::kTightCluster: return "tight cluster";
    case Shape::kManyClusters: return "many clusters";
    case Shape::kUniform: return "uniform";
    case Shape::kFarOutliers: return "far outliers";
  }
  return "?";
}

inline constexpr Shape kShapes[] = {Shape::kTightCluster, Shape::kManyClusters, Shape::kUniform,
                                    Shape::kFarOutliers};

inline std::vector<double> MakeEmbedding(Shape shape, std::size_t n, std::size_t d, std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::normal_distribution<double> normal(0.0, 1.0);
  std::uniform_real_distribution<double> uniform(-40.0, 40.0);
  std::vector<double> y(n * d);
  // Twenty cluster centres spread like a converged t-SNE map.
  std::vector<double> centres(20 * d);
  for (double& c : centres) c = uniform(rng);
  for (std::size_t i = 0; i < n; ++i) {
    const std::size_t cluster = rng() % 20;
    const bool outlier = shape == Shape::kFarOutliers && i % 97 == 5;
    for (std::size_t k = 0; k < d; ++k) {
      double& v = y[i * d + k];
      switch (shape) {
        case Shape::kTightCluster: v = 0.05 * normal(rng) + 3.0; break;
        case Shape::kManyClusters: v = centres[cluster * d + k] + 1.5 * normal(rng); break;
        case Shape::kUniform: v = uniform(rng); break;
        case Shape::kFarOutliers:
          v = outlier ? 2000.0 * normal(rng) : centres[cluster * d + k] + 1.5 * normal(rng);
          break;
      }
    }
  }
  return y;
}

// Z = sum over i != j of 1 / (1 + |y_i - y_j|^2), every term and sum in long double.
inline long double LongDoubleNormaliser(const std::vector<double>& y, std::size_t n, std::size_t d) {
  long double half = 0;
  for (std::size_t i = 0; i < n; ++i) {
    long double row = 0;
    for (std::size_t j = i + 1; j < n; ++j) {
      long double squared = 0;
      for (std::size_t k = 0; k < d; ++k) {
        const long double diff = static_cast<long double>(y[i * d + k]) - y[j * d + k];
        squared += diff * diff;
      }
      row += 1.0L / (1.0L + squared);
    }
    half += row;
  }
  return 2 * half;
}

}  // namespace tsne_test
