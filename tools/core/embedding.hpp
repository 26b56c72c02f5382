// The embedding Y as the tools hold it, and the shape P must agree with.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tsneloss::core {

struct Embedding {
  std::uint64_t n = 0;
  std::uint64_t d = 0;
  // Point after point: exactly the D-by-N column-major layout of Y.
  std::vector<double> coordinates;
};

// What P must agree with: the embedding, read first.
struct EmbeddingShape {
  std::uint64_t points = 0;
  std::uint64_t dimension = 0;
  std::string name;
};

}  // namespace tsneloss::core
