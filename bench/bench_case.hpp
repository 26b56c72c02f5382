// Inputs that look like real t-SNE affinities: about 90 stored entries per column
// (perplexity 30), values that add up to 1, neighbours either spread over all points
// or mostly near the column's own point. Made once per case, kept for every run.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "random_problem.hpp"

namespace tsne_bench {

enum class Neighbours { kSpread, kNear };

struct CaseShape {
  std::int32_t n;
  std::uint32_t d;
  Neighbours neighbours;
  int entries_per_column = 90;
  std::uint64_t seed = 1;
};

// Everything in double; single-precision runs round Y, the values and Z once.
using Case = tsne_test::Problem<double>;

Case MakeCase(const CaseShape& shape);

// A flat little-endian file: n, d, nnz as int64, then y, row indices, column counts,
// values (all float64), then z. NumPy reads it with numpy.fromfile.
void WriteCase(const Case& c, const std::string& path);
Case ReadCase(const std::string& path);

const char* NeighboursName(Neighbours neighbours);

}  // namespace tsne_bench
