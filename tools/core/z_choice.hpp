// Z when the caller gives none: which method computes it, picked in one place for
// tsneloss and the Python package alike.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace tsneloss::core {

enum class ZMethod { kExact, kApproximate, kAuto };

// Up to this many points auto takes the exact Z (about a second on two cores).
inline constexpr std::size_t kAutoExactZLimit = 100000;

// "exact", "approx" or "auto"; nothing for any other name.
std::optional<ZMethod> ParseZMethod(std::string_view name);

// Whether auto takes the exact Z outright for n points of d coordinates.
bool AutoTakesExact(std::size_t n, std::size_t d);

struct ChosenZ {
  double z = 0;
  bool approximate = false;
  double relative_error = 0;  // the estimate, for the approximate Z
  std::string fallback;       // why auto took the exact Z after all; empty otherwise
};

// Z of `y` (n points of d coordinates, point after point). Auto: exact up to
// kAutoExactZLimit points or for d > 3, else approximate, and exact where the
// approximation refuses the map. `progress` sees the exact sum's share done, on the
// calling thread; `threads` 0 is one per processor, and every count gives the same Z.
// Throws what the methods throw (std::invalid_argument, std::runtime_error, bad_alloc).
ChosenZ ComputeZ(const double* y, std::size_t n, std::size_t d, ZMethod method,
                 const std::function<void(double)>& progress = {}, unsigned threads = 0);

}  // namespace tsneloss::core
