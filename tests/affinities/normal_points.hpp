// Standard normal points, n rows of d, the same for the same seed: the plain data the
// neighbour searches' tests start from.
#pragma once

#include <cstddef>
#include <random>
#include <vector>

namespace tsne_test {

inline std::vector<double> NormalData(std::size_t n, std::size_t d, unsigned seed) {
  std::mt19937_64 rng(seed);
  std::normal_distribution<double> normal;
  std::vector<double> x(n * d);
  for (double& v : x) v = normal(rng);
  return x;
}

}  // namespace tsne_test
