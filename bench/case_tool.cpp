// Writes a generated case to a file, or times the kernel on a case file, so that
// another implementation (bench/numpy_peer.py) can be timed on the very same data.
//   case_tool write FILE N D spread|near
//   case_tool time FILE        prints: loss, then kernel and floor ns per entry
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "bench_case.hpp"
#include "kernel/loss_kernel.hpp"

namespace {

template <typename F>
double Seconds(F&& run) {
  const auto start = std::chrono::steady_clock::now();
  run();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
  using namespace tsne_bench;
  const std::string verb = argc > 1 ? argv[1] : "";
  if (verb == "write" && argc == 6) {
    const std::string pattern = argv[5];
    const CaseShape shape{std::atoi(argv[3]), static_cast<std::uint32_t>(std::atoi(argv[4])),
                        pattern == "near" ? Neighbours::kNear : Neighbours::kSpread};
    WriteCase(MakeCase(shape), argv[2]);
    return 0;
  }
  if (verb == "time" && argc == 3) {
    const Case c = ReadCase(argv[2]);
    double loss = 0;
    double sink = 0;
    // Interleaved rounds, best of each: noise from elsewhere on the machine only ever
    // adds time, and it hits both timings alike.
    double kernel = 1e300;
    double floor = 1e300;
    for (int round = 0; round < 11; ++round) {
      kernel = std::min(kernel, Seconds([&] {
        loss = 0;
        quarn::tsnevek::LossKernel<double>(c.y.data(), c.n, c.d, c.row_indices.data(),
                                           c.column_counts.data(), c.values.data(), c.z, &loss);
      }));
      floor = std::min(floor, Seconds([&] {
        for (const double value : c.values) sink += quarn::tsnevek::detail::Log(value);
      }));
    }
    const double entries = static_cast<double>(c.values.size());
    std::printf("%.17g\n%.3f\n%.3f\n", loss, kernel * 1e9 / entries, floor * 1e9 / entries + 0 * sink);
    return 0;
  }
  std::fprintf(stderr, "usage: %s write FILE N D spread|near | time FILE\n", argv[0]);
  return 2;
}
