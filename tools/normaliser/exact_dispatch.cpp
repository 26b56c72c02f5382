// The one place that picks the exact normaliser's sweeps for an instruction set.
#include "normaliser/exact_layout.hpp"
#include "support/instruction_set.hpp"

namespace tsneloss::normaliser::detail {

RowBlockSweep SweepFor(support::InstructionSet set) {
  support::KernelPaths<RowBlockSweep> paths{&SweepRowBlockScalar};
#if NORMALISER_X86_PATHS
  paths.avx2 = &SweepRowBlockAvx2;
  paths.avx512 = &SweepRowBlockAvx512;
#endif
  return support::Pick(set, paths);
}

CrossSweep CrossSweepFor(support::InstructionSet set) {
  support::KernelPaths<CrossSweep> paths{&CrossSumScalar};
#if NORMALISER_X86_PATHS
  paths.avx2 = &CrossSumAvx2;
  paths.avx512 = &CrossSumAvx512;
#endif
  return support::Pick(set, paths);
}

}  // namespace tsneloss::normaliser::detail
