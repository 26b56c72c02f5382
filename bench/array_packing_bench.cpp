// Packing P held in memory as the Python package hands it over: the same canonical P
// row after row (CSR) and column after column (CSC), into fresh host arrays, as
// tsneloss.kl_divergence packs it before the module's call. Runs interleave, the
// fastest of each kept, so the ratio holds on a noisy machine.
//   build/dev/bin/array_packing_bench [N] [ROUNDS]     (default 1000000 5)
// The case: 90 entries in each column at random rows, as bench/python_vs_tool.py's.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "core/array_packing.hpp"

namespace {

using tsneloss::core::CompressedArrays;

constexpr std::uint64_t kPerColumn = 90;

struct Compressed {
  std::vector<std::int32_t> indptr, indices;
  std::vector<double> data;
};

// Canonical CSC: each column's rows drawn at random, sorted, repeats dropped.
Compressed RandomColumns(std::uint64_t n) {
  std::mt19937_64 rng(2026);
  Compressed p;
  p.indptr.push_back(0);
  std::vector<std::int32_t> rows;
  for (std::uint64_t j = 0; j < n; ++j) {
    rows.clear();
    for (std::uint64_t k = 0; k < kPerColumn; ++k) rows.push_back(static_cast<std::int32_t>(rng() % n));
    std::sort(rows.begin(), rows.end());
    rows.erase(std::unique(rows.begin(), rows.end()), rows.end());
    for (const std::int32_t row : rows) {
      p.indices.push_back(row);
      p.data.push_back(static_cast<double>(rng() % 1000 + 1) * 1e-9);
    }
    p.indptr.push_back(static_cast<std::int32_t>(p.indices.size()));
  }
  return p;
}

// The same P compressed the other way round.
Compressed Transposed(const Compressed& p, std::uint64_t n) {
  Compressed t{std::vector<std::int32_t>(n + 1, 0), std::vector<std::int32_t>(p.indices.size()),
               std::vector<double>(p.data.size())};
  for (const std::int32_t i : p.indices) ++t.indptr[static_cast<std::size_t>(i) + 1];
  for (std::uint64_t i = 0; i < n; ++i) t.indptr[i + 1] += t.indptr[i];
  std::vector<std::int32_t> next(t.indptr.begin(), t.indptr.end() - 1);
  for (std::uint64_t j = 0; j < n; ++j) {
    for (auto k = static_cast<std::size_t>(p.indptr[j]); k < static_cast<std::size_t>(p.indptr[j + 1]); ++k) {
      const auto at = static_cast<std::size_t>(next[static_cast<std::size_t>(p.indices[k])]++);
      t.indices[at] = static_cast<std::int32_t>(j);
      t.data[at] = p.data[k];
    }
  }
  return t;
}

double SecondsToPack(const Compressed& p, std::uint64_t n, bool by_columns) {
  const auto start = std::chrono::steady_clock::now();
  const auto packed = tsneloss::core::PackCompressed(
      CompressedArrays<std::int32_t, double>{n, by_columns, p.indptr, p.indices, p.data}, "P");
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (packed.nnz != p.data.size()) std::abort();
  return seconds;
}

}  // namespace

int main(int argc, char** argv) {
  const std::uint64_t n = argc > 1 ? std::stoull(argv[1]) : 1000000;
  const int rounds = argc > 2 ? std::stoi(argv[2]) : 5;
  const Compressed csc = RandomColumns(n);
  const Compressed csr = Transposed(csc, n);
  double best_csr = 1e300, best_csc = 1e300;
  for (int round = 0; round < rounds; ++round) {
    best_csr = std::min(best_csr, SecondsToPack(csr, n, false));
    best_csc = std::min(best_csc, SecondsToPack(csc, n, true));
  }
  std::printf("N = %llu, %zu entries, fastest of %d: CSR %.3f s, CSC %.3f s, CSR / CSC %.2f\n",
              static_cast<unsigned long long>(n), csc.data.size(), rounds, best_csr, best_csc, best_csr / best_csc);
}
