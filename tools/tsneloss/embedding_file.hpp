// Reading an embedding: N points of D coordinates, from a text file with one point
// per line or from a NumPy .npy file holding a 2-D float64 or float32 array (N, D).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tsneloss {

struct Embedding {
  std::uint64_t n = 0;
  std::uint64_t d = 0;
  // Point after point: exactly the D-by-N column-major layout of Y.
  std::vector<double> coordinates;
};

// Chooses the format by the ".npy" ending. Throws InputError.
Embedding ReadEmbedding(const std::string& path);

Embedding ReadTextEmbedding(const std::string& path);
Embedding ReadNpyEmbedding(const std::string& path);

}  // namespace tsneloss
