// The one place that picks the candidate pass's kernels for an instruction set.
#include "affinities/exact_select.hpp"
#include "affinities/exact_tile.hpp"
#include "support/instruction_set.hpp"

namespace tsneloss::affinities::detail {
namespace {

using support::InstructionSet;
using SelectMaker = SelectKernels (*)();

SelectKernels PlainSelect() { return {}; }
#if AFFINITIES_X86_PATHS
SelectKernels Avx2Select() {
  SelectKernels kernels;
  kernels.bound = &CountedBoundAvx2;
  kernels.measure = &ExactSquaredDistancesAvx2<double>;
  kernels.measure_single = &ExactSquaredDistancesAvx2<float>;
  return kernels;
}
SelectKernels Avx512Select() {
  return {&CountedBoundAvx512, &PruneAvx512, &TakeNearestOfAvx512, &ExactSquaredDistancesAvx512<double>,
          &ExactSquaredDistancesAvx512<float>};
}
#endif

}  // namespace

TileKernel KernelFor(InstructionSet set) {
  support::KernelPaths<TileKernel> paths{&TileScalar};
#if AFFINITIES_X86_PATHS
  paths.avx2 = &TileAvx2;
  paths.avx512 = &TileAvx512;
#endif
  return support::Pick(set, paths);
}

SelectKernels SelectFor(InstructionSet set) {
  // AVX2 has its bound and measuring; the rest it does as the scalar path.
  support::KernelPaths<SelectMaker> paths{&PlainSelect, &PlainSelect};
#if AFFINITIES_X86_PATHS
  paths.avx2 = &Avx2Select;
  paths.avx512 = &Avx512Select;
#endif
  return support::Pick(set, paths)();
}

}  // namespace tsneloss::affinities::detail
