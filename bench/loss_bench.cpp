// Timings of the loss on generated t-SNE-like inputs, per case:
//   floor     one log (or logf) per entry, summed in order: what the work cannot beat
//   kernel    LossKernel alone
//   baseline  the loss written out plainly, step by step (tests/support/reference_loss.hpp)
//   call      the whole module call through the host's loader, checks included
//   checks    the contract checks alone
//   reads     the kernel's reads of Y alone, fetched ahead as the kernel does, with no
//             arithmetic to speak of: about what memory costs by itself, so call/floor
//             against reads/floor shows whether a slow call waits on memory
// A case whose kernel result differs in any bit from the baseline's is not timed.
// After the runs a table gives ns per entry and the ratios kernel/floor, call/floor
// (the figure that matters: what a caller waits for against what the logarithms alone
// take), baseline/kernel and call/kernel.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <string>

#include "bench_case.hpp"
#include "gateway/contract_checks.hpp"
#include "kernel/loss_kernel.hpp"
#include "loss_module.hpp"
#include "reference_loss.hpp"

namespace tsne_bench {
namespace {

template <typename T>
struct Prepared {
  std::string key;
  tsne_test::Problem<T> p;
  tsne_test::Inputs inputs;  // the same inputs as host arrays
  bool identical = false;
};

template <typename T>
std::vector<T> As(const std::vector<double>& values) {
  return std::vector<T>(values.begin(), values.end());
}

template <typename T>
bool SameBits(T a, T b) {
  return (a != a && b != b) || std::memcmp(&a, &b, sizeof a) == 0;
}

// One case at a time is kept: the largest take gigabytes.
template <typename T>
const Prepared<T>& Prepare(const CaseShape& shape) {
  static std::unique_ptr<Prepared<T>> kept;
  const std::string key = std::to_string(shape.n) + "/" + std::to_string(shape.d) + "/" + NeighboursName(shape.neighbours);
  if (kept && kept->key == key) return *kept;
  kept.reset();
  const Case c = MakeCase(shape);
  auto prepared = std::make_unique<Prepared<T>>();
  prepared->key = key;
  auto& p = prepared->p;
  p.n = c.n;
  p.d = c.d;
  p.y = As<T>(c.y);
  p.row_indices = c.row_indices;
  p.column_counts = c.column_counts;
  p.values = As<T>(c.values);
  p.z = static_cast<T>(c.z);
  prepared->inputs = tsne_test::InputsOf(p);
  T fast = 0;
  quarn::tsnevek::LossKernel<T>(p.y.data(), p.n, p.d, p.row_indices.data(), p.column_counts.data(),
                                p.values.data(), p.z, &fast);
  const T literal = tsne_test::ReferenceLoss<T>(p.y, p.n, p.d, p.row_indices, p.column_counts, p.values, p.z);
  prepared->identical = SameBits(fast, literal);
  kept = std::move(prepared);
  return *kept;
}

enum class What { kFloor, kKernel, kBaseline, kCall, kChecks, kReads };

// Every point the entries pair with, read in storage order and fetched as the kernel
// fetches them. Each read is folded in with an integer exclusive or: one cycle, so
// the time is that of the reads.
template <typename T>
std::uint64_t ReadsOfY(const tsne_test::Problem<T>& p) {
  using namespace quarn::tsnevek::detail;
  const std::size_t entries = p.values.size();
  const auto point_of = PointOfEntry<T>::Over(p.y.data(), p.d, p.row_indices.data());
  const bool may_straddle = MayStraddle(p.y.data(), p.d);
  std::uint64_t folded = 0;
  for (std::size_t e = 0; e < entries; ++e) {
    if (e + kPrefetchDistance < entries) {
      const T* ahead = point_of(e + kPrefetchDistance);
      __builtin_prefetch(ahead);
      if (may_straddle) __builtin_prefetch(ahead + (p.d - 1));
    }
    const T* y_j = point_of(e);
    for (std::uint32_t k = 0; k < p.d; ++k) {
      std::uint64_t bits = 0;
      std::memcpy(&bits, y_j + k, sizeof(T));
      folded ^= bits;
    }
  }
  return folded;
}

template <typename T>
void Run(benchmark::State& state, CaseShape shape, What what) {
  const Prepared<T>& prepared = Prepare<T>(shape);
  if (!prepared.identical) {
    state.SkipWithError("kernel result differs from the baseline's: not timed");
    return;
  }
  const tsne_test::Problem<T>& p = prepared.p;
  const std::vector<const vqArray_tag*> handles = prepared.inputs.handles();
  for (auto _ : state) {
    T result = 0;
    switch (what) {
      case What::kFloor:
        for (const T value : p.values) result += quarn::tsnevek::detail::Log(value);
        break;
      case What::kKernel:
        quarn::tsnevek::LossKernel<T>(p.y.data(), p.n, p.d, p.row_indices.data(), p.column_counts.data(),
                                      p.values.data(), p.z, &result);
        break;
      case What::kBaseline:
        result = tsne_test::ReferenceLoss<T>(p.y, p.n, p.d, p.row_indices, p.column_counts, p.values, p.z);
        break;
      case What::kChecks:
        quarn::tsnevek::detail::CheckContract(handles.data());
        break;
      case What::kReads:
        result = static_cast<T>(ReadsOfY(p));
        break;
      case What::kCall: {
        const auto outputs = tsne_test::LossModule().Call(1, handles);
        result = tsne_test::First<T>(outputs[0].get());
        break;
      }
    }
    benchmark::DoNotOptimize(result);
  }
  state.counters["entries"] = static_cast<double>(p.values.size());
}

// Collects the time per iteration of every run for the table printed at the end.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      // Noise from elsewhere only ever adds time: the fastest repetition is the measure.
      if (run.error_occurred || run.run_type != Run::RT_Aggregate || run.aggregate_name != "min") continue;
      std::string name = run.benchmark_name();
      name = name.substr(0, name.find("/min_time"));
      name = name.substr(0, name.find("/repeats"));
      const std::size_t slash = name.find('/');
      const double seconds = run.GetAdjustedRealTime() / benchmark::GetTimeUnitMultiplier(run.time_unit);
      const double entries = run.counters.count("entries") ? run.counters.at("entries").value : 1.0;
      times_[name.substr(slash + 1)][name.substr(0, slash)] = seconds * 1e9 / entries;
    }
  }
  void Finalize() override {
    ConsoleReporter::Finalize();
    std::printf("\nns per entry                     floor  kernel baseline   call checks  reads |"
                " kernel/floor call/floor reads/floor baseline/kernel call/kernel\n");
    for (auto& [name, t] : times_) {
      auto at = [&t](const char* what) { return t.count(what) ? t[what] : 0.0; };
      auto ratio = [](double a, double b) { return a > 0 && b > 0 ? a / b : 0.0; };
      const double kernel = at("kernel");
      std::printf("%-31s %6.2f %7.2f %8.2f %6.2f %6.2f %6.2f | %12.2f %10.2f %11.2f %15.2f %11.2f\n", name.c_str(),
                  at("floor"), kernel, at("baseline"), at("call"), at("checks"), at("reads"),
                  ratio(kernel, at("floor")), ratio(at("call"), at("floor")), ratio(at("reads"), at("floor")),
                  ratio(at("baseline"), kernel), ratio(at("call"), kernel));
    }
  }

 private:
  std::map<std::string, std::map<std::string, double>> times_;
};

template <typename T>
void Register(const CaseShape& shape) {
  const char* type = std::is_same_v<T, double> ? "double" : "single";
  const std::string name = std::string(type) + "/" + NeighboursName(shape.neighbours) + "/N:" +
                           std::to_string(shape.n) + "/D:" + std::to_string(shape.d);
  const std::pair<const char*, What> timings[] = {
      {"floor", What::kFloor}, {"kernel", What::kKernel}, {"baseline", What::kBaseline}, {"call", What::kCall},
      {"checks", What::kChecks}, {"reads", What::kReads}};
  for (const auto& [label, what] : timings) {
    benchmark::RegisterBenchmark((std::string(label) + "/" + name).c_str(),
                                 [shape, w = what](benchmark::State& state) { Run<T>(state, shape, w); })
        ->Unit(benchmark::kMillisecond)
        ->UseRealTime()
        ->MinTime(0.1)
        ->Repetitions(5)
        ->ComputeStatistics("min", [](const std::vector<double>& v) { return *std::min_element(v.begin(), v.end()); })
        ->ReportAggregatesOnly(true);
  }
}

}  // namespace
}  // namespace tsne_bench

int main(int argc, char** argv) {
  using namespace tsne_bench;
  for (const std::int32_t n : {10000, 100000, 1000000}) {
    for (const std::uint32_t d : {2u, 3u, 10u}) {
      if (n == 1000000 && d != 2) continue;  // the large case is about cache misses, not D
      for (const Neighbours neighbours : {Neighbours::kSpread, Neighbours::kNear}) {
        const CaseShape shape{n, d, neighbours};
        Register<double>(shape);
        Register<float>(shape);
      }
    }
  }
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
