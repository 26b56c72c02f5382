#include <stdexcept>

#include "affinities/exact_select.hpp"
#include "affinities/exact_tile.hpp"
#include "normaliser/instruction_set.hpp"

namespace affinities::detail {
namespace {

// The normaliser's paths ask the processor for the same instruction sets.
normaliser::ExactPath Same(NeighbourPath path) {
  switch (path) {
    case NeighbourPath::kScalar: return normaliser::ExactPath::kScalar;
    case NeighbourPath::kAvx2: return normaliser::ExactPath::kAvx2;
    case NeighbourPath::kAvx512: return normaliser::ExactPath::kAvx512;
    default: return normaliser::ExactPath::kAuto;
  }
}

}  // namespace

bool NeighbourPathAvailable(NeighbourPath path) { return normaliser::PathAvailable(Same(path)); }

TileKernel KernelFor(NeighbourPath path) {
  if (!NeighbourPathAvailable(path)) throw std::invalid_argument("this instruction-set path is not available here");
#if AFFINITIES_X86_PATHS
  if (path == NeighbourPath::kAuto) {
    if (NeighbourPathAvailable(NeighbourPath::kAvx512)) return &TileAvx512;
    if (NeighbourPathAvailable(NeighbourPath::kAvx2)) return &TileAvx2;
    return &TileScalar;
  }
  if (path == NeighbourPath::kAvx512) return &TileAvx512;
  if (path == NeighbourPath::kAvx2) return &TileAvx2;
#endif
  return &TileScalar;
}

SelectKernels SelectFor(NeighbourPath path) {
#if AFFINITIES_X86_PATHS
  if (path == NeighbourPath::kAvx512 ||
      (path == NeighbourPath::kAuto && NeighbourPathAvailable(NeighbourPath::kAvx512))) {
    return {&BucketBoundAvx512, &PruneAvx512, &TakeNearestOfAvx512};
  }
#endif
  (void)path;
  return {};
}

}  // namespace affinities::detail
