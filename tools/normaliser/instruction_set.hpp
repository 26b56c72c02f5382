// The instruction-set paths of the exact normaliser and the one place that picks
// among them. Every path gives the same bits; they differ only in speed.
#pragma once

#include <string>

#include "normaliser/exact_layout.hpp"

namespace normaliser {

enum class ExactPath { kAuto, kScalar, kAvx2, kAvx512 };

// Whether this processor (and its operating system) can run `path`; kAuto always can.
bool PathAvailable(ExactPath path);

// The widest available path.
ExactPath BestPath();

// "scalar", "avx2", "avx512" (kAuto: the name of BestPath()).
std::string PathName(ExactPath path);

namespace detail {
// The sweep of `path` (kAuto: the best one). Throws std::invalid_argument where the
// path is not available.
RowBlockSweep SweepFor(ExactPath path);
// The cross sum of `path`, likewise.
CrossSweep CrossSweepFor(ExactPath path);
}  // namespace detail

}  // namespace normaliser
