// The steps of P from the data, timed one by one on each instruction-set path:
//   build/dev/bin/neighbours_bench [N] [D] [normal|images] [PATHS] [THREADS] [CAPS]
// (default 20000 50 normal scalar,avx2,avx512 0 auto; images have D = 784; 0 threads:
// all; CAPS: auto, none, or both, a line each, the runs alternating)
// k = 91 (perplexity 30), all threads, the fastest of two runs. The candidate pass's
// multiply-adds (each pair once: N (N - 1) / 2 x D) per second are given as a share
// of the machine's peak, measured first by a plain loop of independent fused
// multiply-adds on the widest path, on every thread. The machine may be shared: look
// at the load, and prefer the shares and ratios to the times.
#include <immintrin.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "affinities/exact_tile.hpp"
#include "affinities/joint_affinities.hpp"
#include "affinities/neighbours.hpp"
#include "affinities/perplexity_search.hpp"
#include "support/instruction_set.hpp"
#include "support/parallel.hpp"

namespace {

using tsneloss::support::InstructionSet;
namespace affinities = tsneloss::affinities;

constexpr std::size_t kK = 91;
constexpr double kPerplexity = 30;
constexpr std::size_t kChains = 16;  // independent sums: enough to cover the units' latency
constexpr std::size_t kPeakRounds = 20'000'000;

double Seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

// Images of 28 x 28: a few smooth blobs placed after one of 30 patterns, jittered, with noise.
std::vector<double> Images(std::size_t n, std::mt19937_64& rng) {
  std::uniform_real_distribution<double> place(6, 22), width(1.5, 4), height(0.5, 1);
  std::normal_distribution<double> jitter(0, 1.5), noise(0, 0.05);
  std::vector<double> patterns(30 * 3 * 3);
  for (std::size_t m = 0; m < patterns.size(); m += 3) patterns[m] = place(rng), patterns[m + 1] = place(rng), patterns[m + 2] = width(rng);
  std::vector<double> x(n * 784);
  for (std::size_t i = 0; i < n; ++i) {
    const double* pattern = patterns.data() + (rng() % 30) * 9;
    for (std::size_t b = 0; b < 3; ++b) {
      const double cr = pattern[3 * b] + jitter(rng), cc = pattern[3 * b + 1] + jitter(rng), w = pattern[3 * b + 2];
      const double h = height(rng);
      for (std::size_t p = 0; p < 784; ++p) {
        const double dr = static_cast<double>(p / 28) - cr, dc = static_cast<double>(p % 28) - cc;
        x[i * 784 + p] += h * std::exp(-(dr * dr + dc * dc) / (2 * w * w));
      }
    }
    for (std::size_t p = 0; p < 784; ++p) x[i * 784 + p] = std::clamp(x[i * 784 + p] + noise(rng), 0.0, 1.0);
  }
  return x;
}

std::vector<double> Data(std::size_t n, std::size_t d, const std::string& kind) {
  std::mt19937_64 rng(42);
  if (kind == "images") return Images(n, rng);
  std::normal_distribution<double> normal;
  std::vector<double> x(n * d);
  for (double& v : x) v = normal(rng);
  return x;
}

// Independent chains of fused multiply-adds, to the value's fixed point (no overflow, no subnormals).
__attribute__((target("avx512f"))) float Chains512(std::size_t rounds) {
  __m512 acc[kChains];
  for (std::size_t c = 0; c < kChains; ++c) acc[c] = _mm512_set1_ps(static_cast<float>(c));
  const __m512 a = _mm512_set1_ps(0.999999f), b = _mm512_set1_ps(1e-6f);
  for (std::size_t r = 0; r < rounds; ++r) {
#pragma GCC unroll 16
    for (std::size_t c = 0; c < kChains; ++c) acc[c] = _mm512_fmadd_ps(acc[c], a, b);
  }
  alignas(64) float lanes[16];
  float sum = 0;
  for (std::size_t c = 0; c < kChains; ++c) _mm512_store_ps(lanes, acc[c]), sum += lanes[0];
  return sum;
}

__attribute__((target("avx2,fma"))) float Chains256(std::size_t rounds) {
  __m256 acc[kChains];
  for (std::size_t c = 0; c < kChains; ++c) acc[c] = _mm256_set1_ps(static_cast<float>(c));
  const __m256 a = _mm256_set1_ps(0.999999f), b = _mm256_set1_ps(1e-6f);
  for (std::size_t r = 0; r < rounds; ++r) {
#pragma GCC unroll 16
    for (std::size_t c = 0; c < kChains; ++c) acc[c] = _mm256_fmadd_ps(acc[c], a, b);
  }
  alignas(32) float lanes[8];
  float sum = 0;
  for (std::size_t c = 0; c < kChains; ++c) _mm256_store_ps(lanes, acc[c]), sum += lanes[0];
  return sum;
}

// Float multiply-adds per second of the widest fused loop, on `wanted` threads at once.
double Peak(unsigned wanted) {
  const bool wide = tsneloss::support::Available(InstructionSet::kAvx512);
  const std::size_t lanes = wide ? 16 : 8;
  const unsigned threads = tsneloss::support::ThreadCount(wanted);
  std::vector<float> sink(threads);
  const auto start = std::chrono::steady_clock::now();
  tsneloss::support::ParallelFor(threads, {threads, {}}, [&](std::size_t task, unsigned) {
    sink[task] = wide ? Chains512(kPeakRounds) : Chains256(kPeakRounds);
  });
  const double seconds = Seconds(start);
  if (sink[0] == 0) std::printf(" ");
  return static_cast<double>(kPeakRounds * kChains * lanes * threads) / seconds;
}

struct Steps {
  double candidates = 1e300, measuring = 1e300, bisection = 1e300, joint = 1e300;
  std::size_t caps_missed = 0;
  void Keep(const Steps& run) {
    caps_missed = run.caps_missed;
    candidates = std::min(candidates, run.candidates);
    measuring = std::min(measuring, run.measuring);
    bisection = std::min(bisection, run.bisection);
    joint = std::min(joint, run.joint);
  }
};

Steps Run(const std::vector<double>& x, std::size_t n, std::size_t d, InstructionSet path, unsigned threads,
          affinities::detail::CapChoice caps) {
  Steps steps;
  affinities::detail::SearchProbe probe;
  probe.caps = caps;
  affinities::NeighbourLists lists =
      affinities::detail::ExactNeighboursOnPath(x.data(), n, d, kK, {threads, {}}, path, &probe);
  steps.candidates = probe.steps.candidates;
  steps.measuring = probe.steps.measuring;
  steps.caps_missed = probe.caps_missed;
  auto start = std::chrono::steady_clock::now();
  affinities::SortRowsByIndex(lists.indices.data(), lists.squared_distances.data(), n, kK, threads);
  std::vector<double> conditional(n * kK);
  affinities::ConditionalRows(lists.squared_distances.data(), n, kK, kPerplexity, affinities::PrecisionSearch::kTsne, threads,
                              conditional.data());
  steps.bisection = Seconds(start);
  start = std::chrono::steady_clock::now();
  const affinities::SparseRows p = affinities::JointAffinities(lists.indices.data(), conditional.data(), n, kK, threads);
  steps.joint = Seconds(start);
  if (p.values.empty()) std::printf(" ");
  return steps;
}

}  // namespace

int main(int argc, char** argv) {
  const std::size_t n = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 20000;
  const std::string kind = argc > 3 ? argv[3] : "normal";
  const std::size_t d = kind == "images" ? 784 : argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 50;
  const std::string chosen = argc > 4 ? argv[4] : "scalar,avx2,avx512";
  const unsigned threads = argc > 5 ? static_cast<unsigned>(std::strtoul(argv[5], nullptr, 10)) : 0;
  const std::string caps = argc > 6 ? argv[6] : "auto";
  using affinities::detail::CapChoice;
  std::vector<std::pair<CapChoice, const char*>> choices;
  if (caps != "none") choices.emplace_back(CapChoice::kBySize, "caps");
  if (caps != "auto") choices.emplace_back(CapChoice::kNone, "no caps");
  const std::vector<double> x = Data(n, d, kind);
  const double peak = Peak(threads);
  const double madds = static_cast<double>(n) * static_cast<double>(n - 1) / 2 * static_cast<double>(d);
  std::printf("N = %zu, D = %zu, %s, k = %zu, %u threads; peak %.1f G multiply-adds/s\n", n, d, kind.c_str(), kK,
              tsneloss::support::ThreadCount(threads), peak / 1e9);
  std::printf("%-16s %12s %12s %12s %12s %14s %12s\n", "path", "candidates", "measuring", "bisection", "joint P",
              "share of peak", "caps missed");
  const struct {
    InstructionSet set;
    const char* name;
  } paths[] = {{InstructionSet::kScalar, "scalar"}, {InstructionSet::kAvx2, "avx2"}, {InstructionSet::kAvx512, "avx512"}};
  for (const auto& path : paths) {
    if (!tsneloss::support::Available(path.set) || chosen.find(path.name) == std::string::npos) continue;
    std::vector<Steps> best(choices.size());
    for (int repeat = 0; repeat < 2; ++repeat) {
      for (std::size_t c = 0; c < choices.size(); ++c) best[c].Keep(Run(x, n, d, path.set, threads, choices[c].first));
    }
    for (std::size_t c = 0; c < choices.size(); ++c) {
      const std::string name = std::string(path.name) + ", " + choices[c].second;
      std::printf("%-16s %11.3fs %11.3fs %11.3fs %11.3fs %13.1f%% %12zu\n", name.c_str(), best[c].candidates,
                  best[c].measuring, best[c].bisection, best[c].joint, 100 * madds / best[c].candidates / peak,
                  best[c].caps_missed);
    }
  }
  return 0;
}
