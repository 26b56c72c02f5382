// Timings of the exact neighbour search on standard normal data, N = 20000 points of
// D = 50 coordinates, k = 91 (perplexity 30):
//   ExactNeighbours/threads  the widest path
//   ExactNeighboursPath/path each instruction-set path alone (1 scalar, 2 AVX2, 3 AVX-512), two threads
// The machine may be shared: repeat, and take the fastest repetition.
#include <benchmark/benchmark.h>

#include <random>
#include <vector>

#include "affinities/exact_tile.hpp"
#include "affinities/neighbours.hpp"
#include "support/instruction_set.hpp"

namespace {

constexpr std::size_t kN = 20000;
constexpr std::size_t kD = 50;
constexpr std::size_t kK = 91;

const std::vector<double>& Data() {
  static const std::vector<double> x = [] {
    std::mt19937_64 rng(42);
    std::normal_distribution<double> normal;
    std::vector<double> values(kN * kD);
    for (double& v : values) v = normal(rng);
    return values;
  }();
  return x;
}

void Run(benchmark::State& state, unsigned threads, tsneloss::support::InstructionSet path) {
  if (!tsneloss::support::Available(path)) {
    state.SkipWithError("path not available on this processor");
    return;
  }
  for (auto _ : state) {
    const tsneloss::affinities::NeighbourLists lists =
        tsneloss::affinities::detail::ExactNeighboursOnPath(Data().data(), kN, kD, kK, {threads, {}}, path);
    benchmark::DoNotOptimize(lists.indices.data());
  }
}

void ExactNeighbours(benchmark::State& state) {
  Run(state, static_cast<unsigned>(state.range(0)), tsneloss::support::InstructionSet::kAuto);
}

void ExactNeighboursPath(benchmark::State& state) {
  Run(state, 2, static_cast<tsneloss::support::InstructionSet>(state.range(0)));
}

}  // namespace

BENCHMARK(ExactNeighbours)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime()->Repetitions(3);
BENCHMARK(ExactNeighboursPath)->Arg(1)->Arg(2)->Arg(3)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);

BENCHMARK_MAIN();
