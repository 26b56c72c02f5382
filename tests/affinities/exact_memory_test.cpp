// The exact search's memory estimate against the bytes the search holds at its
// peak, counted by replacing operator new. The sizes keep every array under the
// large vectors' 4 MB, which operator new serves too.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <new>
#include <vector>

#include "affinities/neighbours.hpp"
#include "normal_points.hpp"

namespace {

// Each block carries its size ahead of it, so that every delete can count it off.
constexpr std::size_t kHeader = 16;
std::atomic<std::int64_t> held{0};
std::atomic<std::int64_t> peak{0};

void Count(std::int64_t bytes) {
  const std::int64_t now = held += bytes;
  std::int64_t seen = peak.load();
  while (now > seen && !peak.compare_exchange_weak(seen, now)) {
  }
}

}  // namespace

void* operator new(std::size_t size) {
  auto* block = static_cast<unsigned char*>(std::malloc(size + kHeader));
  if (block == nullptr) throw std::bad_alloc();
  *reinterpret_cast<std::size_t*>(block) = size;
  Count(static_cast<std::int64_t>(size));
  return block + kHeader;
}
void operator delete(void* p) noexcept {
  if (p == nullptr) return;
  auto* block = static_cast<unsigned char*>(p) - kHeader;
  Count(-static_cast<std::int64_t>(*reinterpret_cast<std::size_t*>(block)));
  std::free(block);
}
void operator delete(void* p, std::size_t) noexcept { operator delete(p); }

namespace {

// Normal points with every 97th far out: those are measured against all points, on
// every thread, as a cap guessed too low would have them.
std::vector<double> Points(std::size_t n, std::size_t d, bool far) {
  std::vector<double> x = tsne_test::NormalData(n, d, 11);
  for (std::size_t i = 0; far && i < n; i += 97) x[i * d] = 1e6 * static_cast<double>(i + 1);
  return x;
}

TEST(ExactNeighboursBytes, BoundsThePeakOfTheSearch) {
  const struct {
    std::size_t n, d, k;
    unsigned threads;
    bool far;
  } cases[] = {{5000, 4, 5, 2, true}, {5000, 4, 5, 3, false}, {3000, 30, 40, 2, true}, {1200, 2, 1, 1, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << "n " << c.n << " d " << c.d << " k " << c.k << " threads " << c.threads
                                      << " far " << c.far);
    const std::vector<double> x = Points(c.n, c.d, c.far);
    const std::int64_t before = held.load();
    peak = before;
    const auto lists = tsneloss::affinities::ExactNeighbours(x.data(), c.n, c.d, c.k, {c.threads, {}});
    const auto used = static_cast<double>(peak.load() - before);
    // Most of it is counted: the bound is no blanket.
    EXPECT_GT(used, 0.8 * tsneloss::affinities::ExactNeighboursBytes(c.n, c.d, c.k, c.threads));
    EXPECT_LE(used, tsneloss::affinities::ExactNeighboursBytes(c.n, c.d, c.k, c.threads));
  }
}

}  // namespace
