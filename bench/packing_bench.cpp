// Packing P from the stored .npz files of bench/tool_runs.sh's case, read as tsneloss
// reads them: the same P column after column (csc) and row after row (csr), and csr
// once more with its columns left uncounted, as a stream that cannot count them first
// is packed. Runs interleave, so the ratios hold however noisy the machine.
//   packing_bench DIR [benchmark flags]      (DIR as written by tool_runs.sh)
#include <benchmark/benchmark.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "core/entry_packing.hpp"
#include "core/module_call.hpp"
#include "formats/input_source.hpp"
#include "formats/npz_file.hpp"

namespace {

std::string case_dir;
std::uint64_t points = 0;

// Hands over a stream's entries without counting its columns first.
class Uncounted : public tsneloss::core::EntryStream {
 public:
  explicit Uncounted(tsneloss::core::EntryStream& inner) : inner_(inner) {}
  void ForEach(const std::function<void(const tsneloss::core::EntryBlock&)>& take) override { inner_.ForEach(take); }
  std::optional<std::uint64_t> EntryBound() const override { return inner_.EntryBound(); }

 private:
  tsneloss::core::EntryStream& inner_;
};

// Arrays as tsneloss makes them: fresh host arrays on every run.
struct FreshArrays {
  matrix::ArrayPtr counts, rows, values;
  tsneloss::core::ColumnArrays operator()(std::uint64_t n, std::uint64_t entries) {
    counts = tsneloss::core::NewHostRow(n);
    rows = tsneloss::core::NewHostRow(entries);
    values = tsneloss::core::NewHostRow(entries);
    const auto data = [](const matrix::ArrayPtr& array) { return const_cast<double*>(tsneloss::core::ArrayData(array)); };
    return {data(counts), data(rows), data(values)};
  }
};

void Pack(benchmark::State& state, const char* file, bool counted) {
  for (auto _ : state) {
    tsneloss::formats::InputSource source(case_dir + "/" + file);
    tsneloss::formats::NpzStream stream(source, {points, 2, "y"});
    Uncounted uncounted(stream);
    FreshArrays arrays;
    const auto size = tsneloss::core::PackEntries(points, counted ? static_cast<tsneloss::core::EntryStream&>(stream) : uncounted,
                                            std::ref(arrays), file);
    benchmark::DoNotOptimize(size.nnz);
  }
}

void Csc(benchmark::State& state) { Pack(state, "p_csc.npz", true); }
void Csr(benchmark::State& state) { Pack(state, "p_csr.npz", true); }
void CsrUncounted(benchmark::State& state) { Pack(state, "p_csr.npz", false); }

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s DIR [benchmark flags]  (DIR holds tool_runs.sh's n.txt and .npz files)\n", argv[0]);
    return 2;
  }
  case_dir = argv[1];
  std::ifstream(case_dir + "/n.txt") >> points;
  if (points == 0) {
    std::fprintf(stderr, "%s/n.txt gives no N\n", case_dir.c_str());
    return 2;
  }
  // Interleaved: each repetition runs all three in turn.
  for (int round = 0; round < 5; ++round) {
    using Run = void (*)(benchmark::State&);
    const std::pair<const char*, Run> runs[] = {{"csc", Csc}, {"csr", Csr}, {"csr_uncounted", CsrUncounted}};
    for (const auto& [name, run] : runs) {
      benchmark::RegisterBenchmark(name, run)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
    }
  }
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
}
