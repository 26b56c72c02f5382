#include "bench_case.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <random>
#include <stdexcept>

namespace tsne_bench {

const char* NeighboursName(Neighbours neighbours) {
  return neighbours == Neighbours::kSpread ? "spread" : "near";
}

Case MakeCase(const CaseShape& shape) {
  Case c;
  c.n = shape.n;
  c.d = shape.d;
  std::mt19937_64 rng(shape.seed);
  std::normal_distribution<double> coordinate(0.0, 10.0);
  c.y.resize(static_cast<std::size_t>(shape.n) * shape.d);
  for (double& v : c.y) v = coordinate(rng);
  std::uniform_int_distribution<std::int32_t> anywhere(1, shape.n);
  std::uniform_int_distribution<std::int32_t> nearby(-200, 200);
  std::exponential_distribution<double> weight(1.0);
  const std::size_t nnz = static_cast<std::size_t>(shape.n) * shape.entries_per_column;
  c.row_indices.reserve(nnz);
  c.values.reserve(nnz);
  double total = 0;
  for (std::int32_t i = 0; i < shape.n; ++i) {
    c.column_counts.push_back(shape.entries_per_column);
    for (int k = 0; k < shape.entries_per_column; ++k) {
      std::int32_t j = anywhere(rng);
      if (shape.neighbours == Neighbours::kNear && rng() % 10 != 0) {
        j = std::clamp(i + 1 + nearby(rng), 1, shape.n);
      }
      c.row_indices.push_back(j);
      c.values.push_back(weight(rng));
      total += c.values.back();
    }
  }
  for (double& v : c.values) v /= total;
  // A plausible Z: the sum of 1 / (1 + |y_i - y_j|^2) over all ordered pairs, estimated
  // from a sample (the exact sum is quadratic in N).
  double sample = 0;
  const int samples = 20000;
  for (int s = 0; s < samples; ++s) {
    const std::size_t a = static_cast<std::size_t>(anywhere(rng) - 1) * shape.d;
    const std::size_t b = static_cast<std::size_t>(anywhere(rng) - 1) * shape.d;
    double squared = 0;
    for (std::uint32_t k = 0; k < shape.d; ++k) squared += (c.y[a + k] - c.y[b + k]) * (c.y[a + k] - c.y[b + k]);
    sample += 1.0 / (1.0 + squared);
  }
  c.z = sample / samples * shape.n * (shape.n - 1.0);
  return c;
}

namespace {
template <typename T>
void Write(std::ofstream& out, const T* data, std::size_t count) {
  out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(count * sizeof(T)));
}
template <typename T>
void Read(std::ifstream& in, T* data, std::size_t count) {
  in.read(reinterpret_cast<char*>(data), static_cast<std::streamsize>(count * sizeof(T)));
}
}  // namespace

void WriteCase(const Case& c, const std::string& path) {
  std::ofstream out(path, std::ios::binary);
  const std::int64_t header[3] = {c.n, c.d, static_cast<std::int64_t>(c.values.size())};
  Write(out, header, 3);
  Write(out, c.y.data(), c.y.size());
  Write(out, c.row_indices.data(), c.row_indices.size());
  Write(out, c.column_counts.data(), c.column_counts.size());
  Write(out, c.values.data(), c.values.size());
  Write(out, &c.z, 1);
  if (!out) throw std::runtime_error("cannot write " + path);
}

Case ReadCase(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::int64_t header[3];
  Read(in, header, 3);
  if (!in || header[0] < 0 || header[1] < 0 || header[2] < 0) throw std::runtime_error("cannot read " + path);
  Case c;
  c.n = static_cast<std::int32_t>(header[0]);
  c.d = static_cast<std::uint32_t>(header[1]);
  c.y.resize(static_cast<std::size_t>(header[0] * header[1]));
  c.row_indices.resize(static_cast<std::size_t>(header[2]));
  c.column_counts.resize(static_cast<std::size_t>(header[0]));
  c.values.resize(static_cast<std::size_t>(header[2]));
  Read(in, c.y.data(), c.y.size());
  Read(in, c.row_indices.data(), c.row_indices.size());
  Read(in, c.column_counts.data(), c.column_counts.size());
  Read(in, c.values.data(), c.values.size());
  Read(in, &c.z, 1);
  if (!in) throw std::runtime_error(path + " is truncated");
  return c;
}

}  // namespace tsne_bench
