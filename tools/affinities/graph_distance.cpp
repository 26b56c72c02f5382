#include "affinities/graph_distance.hpp"

#include <cstddef>

#include "normaliser/instruction_set.hpp"

namespace affinities::detail {

float GraphDistanceScalar(const void* a, const void* b, const void* dimension) {
  const auto* x = static_cast<const float*>(a);
  const auto* y = static_cast<const float*>(b);
  const std::size_t d = *static_cast<const std::size_t*>(dimension);
  float sum = 0;
  for (std::size_t c = 0; c < d; ++c) {
    const float difference = x[c] - y[c];
    sum += difference * difference;
  }
  return sum;
}

GraphDistance BestGraphDistance() {
#if AFFINITIES_X86_PATHS
  if (normaliser::PathAvailable(normaliser::ExactPath::kAvx512)) return GraphDistanceAvx512;
  if (normaliser::PathAvailable(normaliser::ExactPath::kAvx2)) return GraphDistanceAvx2;
#endif
  return GraphDistanceScalar;
}

}  // namespace affinities::detail
