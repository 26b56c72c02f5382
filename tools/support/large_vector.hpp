// A vector for the large arrays of P and its neighbour lists: elements are left
// uninitialised until written (nothing is zero-filled first), and blocks of 4 MB and
// more are asked for in 2 MB pages, so filling them takes few page faults, which cost
// dearly in a virtual machine.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <new>
#include <type_traits>
#include <utility>
#include <vector>

#include "support/huge_pages.hpp"

namespace tsneloss::support {

template <typename T>
class LargeAllocator {
 public:
  using value_type = T;
  LargeAllocator() = default;
  template <typename U>
  LargeAllocator(const LargeAllocator<U>&) noexcept {}

  T* allocate(std::size_t count) {
    const std::size_t bytes = count * sizeof(T);
    if (bytes < 2 * kHugePage) return std::allocator<T>().allocate(count);
    void* block = std::aligned_alloc(kHugePage, (bytes + kHugePage - 1) / kHugePage * kHugePage);
    if (block == nullptr) throw std::bad_alloc();
    AdviseHugePages(block, bytes);
    return static_cast<T*>(block);
  }
  void deallocate(T* block, std::size_t count) noexcept {
    if (count * sizeof(T) < 2 * kHugePage) {
      std::allocator<T>().deallocate(block, count);
    } else {
      std::free(block);
    }
  }
  // Value-less construction leaves the element as it is.
  template <typename U>
  void construct(U* at) noexcept(std::is_nothrow_default_constructible_v<U>) {
    ::new (static_cast<void*>(at)) U;
  }
  template <typename U, typename... Args>
  void construct(U* at, Args&&... args) {
    ::new (static_cast<void*>(at)) U(std::forward<Args>(args)...);
  }

  friend bool operator==(const LargeAllocator&, const LargeAllocator&) { return true; }
};

template <typename T>
using LargeVector = std::vector<T, LargeAllocator<T>>;

}  // namespace tsneloss::support
