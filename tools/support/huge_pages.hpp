// Advice to back large arrays with 2 MB pages. A fresh array is mapped page by page as
// it is first written, and in a virtual machine each fault is dear: in 2 MB pages a
// large array faults 512 times less often. Only advice: where the system keeps to
// small pages nothing changes.
#pragma once

#include <sys/mman.h>

#include <cstddef>
#include <cstdint>

namespace tsneloss::support {

inline constexpr std::size_t kHugePage = std::size_t{1} << 21;

// Advises the whole 2 MB pages inside [data, data + bytes).
inline void AdviseHugePages(void* data, std::size_t bytes) {
  const auto start = reinterpret_cast<std::uintptr_t>(data);
  const std::uintptr_t begin = (start + kHugePage - 1) & ~(kHugePage - 1);
  const std::uintptr_t end = (start + bytes) & ~(kHugePage - 1);
  if (end > begin) ::madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
}

}  // namespace tsneloss::support
