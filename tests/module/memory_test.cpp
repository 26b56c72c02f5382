// A call's memory is its inputs plus a constant: nothing the module allocates grows
// with N or the number of stored entries. Counts every operator new in the process,
// the module's included (it resolves to this program's definition).
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>

#include "loss_module.hpp"

namespace {
std::atomic<std::int64_t> allocations{0};
std::atomic<std::int64_t> bytes{0};
}  // namespace

void* operator new(std::size_t size) {
  ++allocations;
  bytes += static_cast<std::int64_t>(size);
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace tsne_test {
namespace {

struct Counted {
  std::int64_t allocations;
  std::int64_t bytes;
};

// What the entry point itself allocates for one call, the result array included.
template <typename T>
Counted CountCall(const Problem<T>& problem) {
  const auto inputs = InputsOf(problem);
  auto handles = inputs.handles();
  vqArray_tag* slot = nullptr;
  const auto entry_point = LossModule().entry_point();  // opened before counting
  const std::int64_t allocations_before = allocations.load();
  const std::int64_t bytes_before = bytes.load();
  entry_point(1, &slot, 5, handles.data());
  const Counted counted{allocations.load() - allocations_before, bytes.load() - bytes_before};
  matrix::ArrayPtr{slot};
  return counted;
}

template <typename T>
class CallMemory : public ::testing::Test {};
using ElementTypes = ::testing::Types<double, float>;
TYPED_TEST_SUITE(CallMemory, ElementTypes);

TYPED_TEST(CallMemory, DoesNotGrowWithTheProblem) {
  std::mt19937_64 rng(3);
  auto small = RandomProblem<TypeParam>(rng, 3, 2, 2);
  auto large = RandomProblem<TypeParam>(rng, 3, 2, 2);
  small.n = 3;
  large.n = 20000;
  for (auto* p : {&small, &large}) {
    p->d = 10;
    p->y.assign(std::size_t{p->d} * p->n, TypeParam(0.5));
    p->column_counts.assign(p->n, 40);
    p->row_indices.assign(std::size_t{40} * p->n, 1.0);
    p->values.assign(std::size_t{40} * p->n, TypeParam(1e-6));
  }
  const Counted for_small = CountCall(small);
  const Counted for_large = CountCall(large);
  EXPECT_EQ(for_large.allocations, for_small.allocations);
  EXPECT_EQ(for_large.bytes, for_small.bytes);
  EXPECT_LT(for_large.bytes, 1024) << "the result array and its dimensions, nothing more";
}

}  // namespace
}  // namespace tsne_test
