// Timings of Z on clustered two-dimensional maps (twenty clusters over 80 units, the
// "many clusters" shape of the tests):
//   ExactZ/N/threads       the exact Z on the widest path; counter ns_per_pair, of
//                          wall-clock time (printed with a unit "s": read it as ns)
//   ExactZPath/path        each instruction-set path alone, one thread, N = 20000
//   ApproximateZOutliers/N the same map with 1% of its points far out (to 10000), which
//                          are summed exactly against all others
//   ApproximateZ/N         the grid approximation; counters estimate (its own error
//                          estimate) and error (measured against the exact Z, where
//                          the exact Z of that N is timed too)
// The machine may be shared: repeat, and take the fastest repetition.
// NORMALISER_BENCH_LARGE=1 adds the exact Z at N = 10^6 (minutes) and so the measured
// error of the approximation there.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdlib>
#include <map>
#include <random>
#include <vector>

#include "embedding_shapes.hpp"
#include "normaliser/approximate_normaliser.hpp"
#include "normaliser/exact_normaliser.hpp"
#include "support/instruction_set.hpp"

namespace {

constexpr std::size_t kD = 2;

const std::vector<double>& Map(std::size_t n) {
  static std::map<std::size_t, std::vector<double>> maps;
  auto& y = maps[n];
  if (y.empty()) y = tsne_test::MakeEmbedding(tsne_test::Shape::kManyClusters, n, kD, 42);
  return y;
}

// Exact Z values met so far, for the approximation's measured error.
std::map<std::size_t, double>& ExactValues() {
  static std::map<std::size_t, double> values;
  return values;
}

void ExactZ(benchmark::State& state) {
  const std::size_t n = static_cast<std::size_t>(state.range(0));
  tsneloss::normaliser::ExactSettings settings;
  settings.threads = static_cast<unsigned>(state.range(1));
  const std::vector<double>& y = Map(n);
  double z = 0;
  for (auto _ : state) {
    z = tsneloss::normaliser::ExactNormaliser(y.data(), n, kD, settings);
    const double& kept = z;  // the read-only form: the other may write a double back wrongly
    benchmark::DoNotOptimize(kept);
  }
  ExactValues()[n] = z;
  const double pairs = 0.5 * static_cast<double>(n) * static_cast<double>(n - 1);
  state.counters["ns_per_pair"] =
      benchmark::Counter(pairs * 1e-9, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

void ExactZPath(benchmark::State& state) {
  const auto path = static_cast<tsneloss::support::InstructionSet>(state.range(0));
  if (!tsneloss::support::Available(path)) {
    state.SkipWithError("path not available on this processor");
    return;
  }
  state.SetLabel(tsneloss::support::Name(path));
  const std::size_t n = 20000;
  tsneloss::normaliser::ExactSettings settings;
  settings.threads = 1;
  settings.path = path;
  for (auto _ : state) {
    const double z = tsneloss::normaliser::ExactNormaliser(Map(n).data(), n, kD, settings);
    benchmark::DoNotOptimize(z);
  }
  const double pairs = 0.5 * static_cast<double>(n) * static_cast<double>(n - 1);
  state.counters["ns_per_pair"] =
      benchmark::Counter(pairs * 1e-9, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

void ApproximateZ(benchmark::State& state) {
  const std::size_t n = static_cast<std::size_t>(state.range(0));
  const std::vector<double>& y = Map(n);
  tsneloss::normaliser::ApproximateZ result;
  for (auto _ : state) {
    result = tsneloss::normaliser::ApproximateNormaliser(y.data(), n, kD);
    const double& kept = result.z;
    benchmark::DoNotOptimize(kept);
  }
  state.counters["estimate"] = result.relative_error;
  const auto exact = ExactValues().find(n);
  const double error = exact != ExactValues().end() ? std::abs(result.z - exact->second) / exact->second : NAN;
  state.counters["error"] = error;
  state.counters["grid_cells"] = static_cast<double>(result.grid_cells);
}

// The clustered map with one point in a hundred moved far out (up to 10000 units from
// the bulk's centre): those are summed exactly against all others.
void ApproximateZOutliers(benchmark::State& state) {
  const std::size_t n = static_cast<std::size_t>(state.range(0));
  std::vector<double> y = Map(n);
  std::mt19937_64 rng(7);
  std::uniform_real_distribution<double> far(-10000.0, 10000.0);
  for (std::size_t i = 0; i < n; i += 100) {
    for (std::size_t k = 0; k < kD; ++k) y[i * kD + k] = far(rng);
  }
  tsneloss::normaliser::ApproximateZ result;
  for (auto _ : state) {
    result = tsneloss::normaliser::ApproximateNormaliser(y.data(), n, kD);
    const double& kept = result.z;
    benchmark::DoNotOptimize(kept);
  }
  state.counters["estimate"] = result.relative_error;
  state.counters["exact_points"] = static_cast<double>(result.exact_points);
}

void Register() {
  const bool large = std::getenv("NORMALISER_BENCH_LARGE") != nullptr;
  std::vector<long> sizes = {10000, 100000};
  if (large) sizes.push_back(1000000);
  for (const long n : sizes) {
    for (const long threads : {1, 2}) {
      if (n == 1000000 && threads == 1) continue;
      benchmark::RegisterBenchmark("ExactZ", ExactZ)->Args({n, threads})->Unit(benchmark::kMillisecond)
          ->Iterations(n >= 100000 ? 1 : 10)->Repetitions(n >= 1000000 ? 1 : 3)->UseRealTime();
    }
  }
  for (const long path : {1, 2, 3}) {
    benchmark::RegisterBenchmark("ExactZPath", ExactZPath)->Arg(path)->Unit(benchmark::kMillisecond)->Repetitions(3);
  }
  for (const long n : {10000, 100000, 1000000}) {
    benchmark::RegisterBenchmark("ApproximateZ", ApproximateZ)->Arg(n)->Unit(benchmark::kMillisecond)
        ->Iterations(n >= 1000000 ? 1 : 3)->Repetitions(3)->UseRealTime();
  }
  benchmark::RegisterBenchmark("ApproximateZOutliers", ApproximateZOutliers)->Arg(1000000)
      ->Unit(benchmark::kMillisecond)->Iterations(1)->Repetitions(2)->UseRealTime();
}

}  // namespace

int main(int argc, char** argv) {
  Register();
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
