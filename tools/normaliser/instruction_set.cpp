#include "normaliser/instruction_set.hpp"

#include <stdexcept>

namespace normaliser {

bool PathAvailable(ExactPath path) {
  switch (path) {
    case ExactPath::kAuto:
    case ExactPath::kScalar:
      return true;
#if NORMALISER_X86_PATHS
    // The compiler's checks include the operating system's saving of the wider registers.
    case ExactPath::kAvx2:
      return __builtin_cpu_supports("avx2");
    case ExactPath::kAvx512:
      return __builtin_cpu_supports("avx512f");
#else
    case ExactPath::kAvx2:
    case ExactPath::kAvx512:
      return false;
#endif
  }
  return false;
}

ExactPath BestPath() {
  if (PathAvailable(ExactPath::kAvx512)) return ExactPath::kAvx512;
  if (PathAvailable(ExactPath::kAvx2)) return ExactPath::kAvx2;
  return ExactPath::kScalar;
}

std::string PathName(ExactPath path) {
  switch (path == ExactPath::kAuto ? BestPath() : path) {
    case ExactPath::kAvx512: return "avx512";
    case ExactPath::kAvx2: return "avx2";
    default: return "scalar";
  }
}

namespace detail {

RowBlockSweep SweepFor(ExactPath path) {
  if (!PathAvailable(path)) throw std::invalid_argument("the " + PathName(path) + " path is not available here");
  switch (path == ExactPath::kAuto ? BestPath() : path) {
#if NORMALISER_X86_PATHS
    case ExactPath::kAvx512: return &SweepRowBlockAvx512;
    case ExactPath::kAvx2: return &SweepRowBlockAvx2;
#endif
    default: return &SweepRowBlockScalar;
  }
}

CrossSweep CrossSweepFor(ExactPath path) {
  if (!PathAvailable(path)) throw std::invalid_argument("the " + PathName(path) + " path is not available here");
  switch (path == ExactPath::kAuto ? BestPath() : path) {
#if NORMALISER_X86_PATHS
    case ExactPath::kAvx512: return &CrossSumAvx512;
    case ExactPath::kAvx2: return &CrossSumAvx2;
#endif
    default: return &CrossSumScalar;
  }
}

}  // namespace detail
}  // namespace normaliser
