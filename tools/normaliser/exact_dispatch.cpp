// The one place that picks the exact normaliser's sweeps for an instruction set.
#include "normaliser/exact_layout.hpp"
#include "support/instruction_set.hpp"

namespace normaliser::detail {

RowBlockSweep SweepFor(tsneloss::support::InstructionSet set) {
  tsneloss::support::KernelPaths<RowBlockSweep> paths{&SweepRowBlockScalar};
#if NORMALISER_X86_PATHS
  paths.avx2 = &SweepRowBlockAvx2;
  paths.avx512 = &SweepRowBlockAvx512;
#endif
  return tsneloss::support::Pick(set, paths);
}

CrossSweep CrossSweepFor(tsneloss::support::InstructionSet set) {
  tsneloss::support::KernelPaths<CrossSweep> paths{&CrossSumScalar};
#if NORMALISER_X86_PATHS
  paths.avx2 = &CrossSumAvx2;
  paths.avx512 = &CrossSumAvx512;
#endif
  return tsneloss::support::Pick(set, paths);
}

}  // namespace normaliser::detail
