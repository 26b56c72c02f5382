// The processor's vector instruction sets, asked in one place, and the one helper that
// picks a kernel among a library's paths. Every path of a kernel gives the same bits;
// the paths differ only in speed.
#pragma once

#include <stdexcept>
#include <string>

namespace tsneloss::support {

// kAuto stands for the widest set this processor runs. kAvx2 includes the fused
// multiply-add instructions that came with it.
enum class InstructionSet { kAuto, kScalar, kAvx2, kAvx512 };

// Whether this processor (and its operating system) runs `set`; kAuto always does.
bool Available(InstructionSet set);

// The widest available set.
InstructionSet Widest();

// "scalar", "avx2", "avx512" (kAuto: the name of Widest()).
std::string Name(InstructionSet set);

// One kernel compiled for each set; a path left null was not built (not x86-64).
template <typename Kernel>
struct KernelPaths {
  Kernel scalar = nullptr;
  Kernel avx2 = nullptr;
  Kernel avx512 = nullptr;
};

// The kernel of `set`; kAuto takes the widest set that is available and built.
// Throws std::invalid_argument where `set` is not available or its path not built.
template <typename Kernel>
Kernel Pick(InstructionSet set, const KernelPaths<Kernel>& paths) {
  if (set == InstructionSet::kAuto) {
    if (paths.avx512 != nullptr && Available(InstructionSet::kAvx512)) return paths.avx512;
    if (paths.avx2 != nullptr && Available(InstructionSet::kAvx2)) return paths.avx2;
    return paths.scalar;
  }
  const Kernel kernel = set == InstructionSet::kAvx512 ? paths.avx512
                        : set == InstructionSet::kAvx2 ? paths.avx2
                                                       : paths.scalar;
  if (kernel == nullptr || !Available(set)) {
    throw std::invalid_argument("the " + Name(set) + " path is not available here");
  }
  return kernel;
}

}  // namespace tsneloss::support
