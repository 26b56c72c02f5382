#include "support/instruction_set.hpp"

namespace tsneloss::support {

bool Available(InstructionSet set) {
  switch (set) {
    case InstructionSet::kAuto:
    case InstructionSet::kScalar:
      return true;
#if defined(__x86_64__)
    // The compiler's checks include the operating system's saving of the wider registers.
    case InstructionSet::kAvx2:
      return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
    case InstructionSet::kAvx512:
      return __builtin_cpu_supports("avx512f");
#else
    case InstructionSet::kAvx2:
    case InstructionSet::kAvx512:
      return false;
#endif
  }
  return false;
}

InstructionSet Widest() {
  if (Available(InstructionSet::kAvx512)) return InstructionSet::kAvx512;
  if (Available(InstructionSet::kAvx2)) return InstructionSet::kAvx2;
  return InstructionSet::kScalar;
}

std::string Name(InstructionSet set) {
  switch (set == InstructionSet::kAuto ? Widest() : set) {
    case InstructionSet::kAvx512: return "avx512";
    case InstructionSet::kAvx2: return "avx2";
    default: return "scalar";
  }
}

}  // namespace tsneloss::support
