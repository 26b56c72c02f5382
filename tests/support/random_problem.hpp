// Random inputs that keep the caller's contract: whole counts (zeros included), row
// indices from 1 to N in any order with duplicates and self-pairs, positive values.
#pragma once

#include <cstdint>
#include <random>
#include <vector>

namespace tsne_test {

template <typename T>
struct Problem {
  std::int32_t n = 0;
  std::uint32_t d = 0;
  std::vector<T> y;  // d rows, n columns
  std::vector<double> row_indices;
  std::vector<double> column_counts;
  std::vector<T> values;
  T z = 1;
};

template <typename T>
Problem<T> RandomProblem(std::mt19937_64& rng, std::int32_t max_n, std::uint32_t max_d,
                         std::int32_t max_count) {
  Problem<T> problem;
  problem.n = std::uniform_int_distribution<std::int32_t>(0, max_n)(rng);
  problem.d = std::uniform_int_distribution<std::uint32_t>(0, max_d)(rng);
  std::normal_distribution<double> coordinate(0.0, std::uniform_real_distribution<double>(0.1, 30.0)(rng));
  problem.y.resize(std::size_t{problem.d} * problem.n);
  for (T& v : problem.y) v = static_cast<T>(coordinate(rng));
  std::uniform_int_distribution<std::int32_t> count(0, max_count);
  std::uniform_real_distribution<double> value(1e-9, 1.0);
  for (std::int32_t i = 0; i < problem.n; ++i) {
    const std::int32_t c = count(rng);
    problem.column_counts.push_back(c);
    for (std::int32_t k = 0; k < c; ++k) {
      const bool self = rng() % 8 == 0;
      problem.row_indices.push_back(
          self ? i + 1 : std::uniform_int_distribution<std::int32_t>(1, problem.n)(rng));
      problem.values.push_back(static_cast<T>(value(rng) / (problem.n + 1)));
    }
  }
  problem.z = static_cast<T>(std::exp(std::uniform_real_distribution<double>(-5.0, 12.0)(rng)));
  return problem;
}

}  // namespace tsne_test
