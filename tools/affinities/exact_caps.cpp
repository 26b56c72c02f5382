#include "affinities/exact_caps.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <numeric>
#include <random>
#include <stdexcept>

#include "support/parallel.hpp"

namespace tsneloss::affinities::detail {
namespace {

// The largest S p per rank r with P(Poisson(S p) >= r) <= 1e-4 (index r - 1): a
// point measured against all reads all the points, in double, so even one in a
// thousand would cost more than the caps save where the points are many and long.
constexpr std::array<double, kMostCapRank> kSampleWithin = {0.0001, 0.014, 0.086, 0.231, 0.444, 0.713, 1.030, 1.386,
                                                            1.777,  2.197, 2.643, 3.111, 3.599, 4.106, 4.629, 5.166};
// What an offer costs in multiply-adds of the candidate pass, as measured on AVX-512
// (some 6 ns an offer against 5 ps a multiply-add, at 2 threads).
constexpr double kOfferCost = 1500;
constexpr std::uint64_t kSampleSeed = 0x5eed'ca95;
constexpr std::size_t kGroupsPerTask = 16;

// The rank smallest uppers seen so far for one row, in increasing order.
struct Smallest {
  std::array<float, kMostCapRank> kept{};
  std::size_t size = 0;

  // The largest kept, once rank are: the kernel's limit for the row.
  float Largest(std::size_t rank) const { return size == rank ? kept[rank - 1] : std::numeric_limits<float>::infinity(); }

  void Offer(float upper, std::size_t rank) {
    if (!(upper < Largest(rank))) return;
    std::size_t place = size < rank ? size++ : rank - 1;
    for (; place > 0 && kept[place - 1] > upper; --place) kept[place] = kept[place - 1];
    kept[place] = upper;
  }
};

// The sample packed in panels as the kernels read columns.
struct PackedSample {
  std::vector<float> panels;
  std::vector<float> norms;
  std::vector<float> slacks;
};

PackedSample Pack(const Prepared& prepared, std::size_t d, const std::vector<std::int32_t>& sample) {
  PackedSample packed;
  packed.panels.resize(sample.size() * d);
  packed.norms.resize(sample.size());
  packed.slacks.resize(sample.size());
  for (std::size_t s = 0; s < sample.size(); ++s) {
    const auto j = static_cast<std::size_t>(sample[s]);
    const float* from = prepared.packed + (j / kPanel) * d * kPanel + j % kPanel;
    float* to = packed.panels.data() + (s / kPanel) * d * kPanel + s % kPanel;
    for (std::size_t c = 0; c < d; ++c) to[c * kPanel] = from[c * kPanel];
    packed.norms[s] = prepared.norms[j];
    packed.slacks[s] = prepared.slacks[j];
  }
  return packed;
}

// One group of kGroup rows against the whole sample: each row's smallest uppers,
// its own column left out.
void CapGroup(const Prepared& prepared, std::size_t n, std::size_t d, const CapPlan& plan,
              const std::vector<std::int32_t>& sample, const PackedSample& packed, TileKernel kernel, std::size_t group,
              std::vector<double>& caps) {
  const auto count = static_cast<std::int32_t>(plan.sample);
  std::array<Smallest, kGroup> smallest;
  std::array<float, kGroup> limits;
  limits.fill(std::numeric_limits<float>::infinity());
  // A tile appends at most kPanel offers to a row, and may store a whole panel past them.
  std::array<std::array<float, 2 * kPanel>, kGroup> lower{}, upper{};
  std::array<std::array<std::int32_t, 2 * kPanel>, kGroup> index{};
  std::array<Candidates, kGroup> buffers;
  std::array<Candidates*, kGroup> out;
  for (std::size_t r = 0; r < kGroup; ++r) out[r] = &buffers[r];
  const std::size_t first = group * kGroup;
  TileInput input;
  input.d = d;
  input.n = static_cast<std::int32_t>(n);
  input.rows = prepared.packed + group * d * kGroup;
  input.limits = limits.data();
  input.row = static_cast<std::int32_t>(first);
  for (std::size_t r = 0; r < kGroup; ++r) buffers[r] = {lower[r].data(), upper[r].data(), index[r].data(), 0};
  for (std::size_t panel = 0; panel < plan.sample / kPanel; ++panel) {
    input.panel = packed.panels.data() + panel * d * kPanel;
    input.norms = packed.norms.data() + panel * kPanel;
    input.slacks = packed.slacks.data() + panel * kPanel;
    // Slot s goes in as s - S: below zero, so that no kernel takes it for its row.
    input.column = static_cast<std::int32_t>(panel * kPanel) - count;
    for (unsigned offered = kernel(input, out.data(), nullptr); offered != 0; offered &= offered - 1) {
      const auto r = static_cast<std::size_t>(std::countr_zero(offered));
      for (std::size_t m = 0; m < buffers[r].size; ++m) {
        const auto slot = static_cast<std::size_t>(buffers[r].index[m] + count);
        if (static_cast<std::size_t>(sample[slot]) == first + r) continue;
        smallest[r].Offer(buffers[r].upper[m], plan.rank);
      }
      buffers[r].size = 0;
      limits[r] = smallest[r].Largest(plan.rank);
    }
  }
  for (std::size_t r = 0; r < kGroup && first + r < n; ++r) {
    caps[first + r] = Widened(smallest[r].Largest(plan.rank));
  }
}

}  // namespace

CapPlan PlanCaps(std::size_t n, std::size_t d, std::size_t k) {
  CapPlan best;
  // Indices from -S up must not meet a row, nor their differences overflow.
  if (n < 2 || k == 0 || n >= (std::size_t{1} << 30)) return best;
  double best_saving = 0;
  for (std::size_t rank = 1; rank <= kMostCapRank; ++rank) {
    const double within = kSampleWithin[rank - 1];
    const auto sample = static_cast<std::size_t>(within * static_cast<double>(n - 1) / static_cast<double>(k)) / kPanel * kPanel;
    // Too few drawn, or so many that the point's own place in them matters.
    if (sample <= rank || sample > n / 2) continue;
    const double saving = kOfferCost * static_cast<double>(k) * std::log(static_cast<double>(sample) / static_cast<double>(rank)) -
                          static_cast<double>(sample) * static_cast<double>(d);
    if (saving > best_saving) {
      best_saving = saving;
      best = {sample, rank};
    }
  }
  return best;
}

std::vector<std::int32_t> DrawSample(std::size_t n, const CapPlan& plan) {
  std::vector<std::int32_t> all(n);
  std::iota(all.begin(), all.end(), 0);
  std::mt19937_64 random(kSampleSeed);
  // The first `sample` places of a Fisher-Yates shuffle, drawn by hand: the standard
  // library's distributions differ between its makers.
  for (std::size_t s = 0; s < plan.sample; ++s) {
    const std::size_t pick = s + static_cast<std::size_t>(random() % (n - s));
    std::swap(all[s], all[pick]);
  }
  all.resize(plan.sample);
  std::sort(all.begin(), all.end());
  return all;
}

std::vector<double> GuessCaps(const Prepared& prepared, std::size_t n, std::size_t d, const CapPlan& plan,
                              TileKernel kernel, unsigned threads) {
  std::vector<double> caps(n, std::numeric_limits<double>::infinity());
  if (plan.sample == 0 || !prepared.usable) return caps;
  if (plan.rank == 0 || plan.rank > kMostCapRank || plan.sample % kPanel != 0 || plan.sample > n ||
      n >= (std::size_t{1} << 30)) {
    throw std::invalid_argument("GuessCaps: the plan must draw whole panels of at most n points, at a rank in [1, 16]");
  }
  const std::vector<std::int32_t> sample = DrawSample(n, plan);
  const PackedSample packed = Pack(prepared, d, sample);
  const std::size_t groups = (n + kGroup - 1) / kGroup;
  support::ParallelFor((groups + kGroupsPerTask - 1) / kGroupsPerTask, {threads, {}}, [&](std::size_t task, unsigned) {
    for (std::size_t group = task * kGroupsPerTask; group < std::min(groups, (task + 1) * kGroupsPerTask); ++group) {
      CapGroup(prepared, n, d, plan, sample, packed, kernel, group, caps);
    }
  });
  return caps;
}

}  // namespace tsneloss::affinities::detail
