// Writing the per-point shares to a file: a NumPy .npy vector (float64, or float32 for
// single precision) when the path ends in ".npy", text with one share per line else.
#pragma once

#include <span>
#include <string>

namespace tsneloss::formats {

// Text holds 17 significant digits (9 for single), "inf", "-inf" or "nan" where a
// share is not finite. Throws std::runtime_error naming the path when it cannot be
// written completely.
void WriteShares(const std::string& path, std::span<const double> shares, bool single);

}  // namespace tsneloss::formats
