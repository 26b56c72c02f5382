// The normaliser Z when the user gives none: exact, approximate, or the one that
// suits the embedding's size (auto).
#pragma once

#include <cstddef>
#include <string>

#include "embedding_file.hpp"

namespace tsneloss {

// Up to this many points auto takes the exact Z (about a second on two cores).
inline constexpr std::size_t kAutoExactLimit = 100000;

struct ComputedZ {
  double z = 0;
  bool approximate = false;
  double relative_error = 0;  // the estimate, for the approximate Z
};

// `method`: "exact", "approx" or "auto". Notes on stderr what it computed. Throws
// std::invalid_argument or std::runtime_error where the approximation cannot be had.
ComputedZ ComputeZ(const Embedding& y, const std::string& method);

}  // namespace tsneloss
