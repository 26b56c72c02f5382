// The steps of t-SNE's P written out plainly, one loop per formula, for comparing
// the affinities library with bit for bit.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>
#include <vector>

namespace tsne_test {

struct PlainRow {
  std::vector<double> p;
  double beta = 0;
  bool met = false;
};

// Bisection on beta from 1 until the entropy of p_j = exp(-d_j beta) / sum is within
// 1e-5 of ln(perplexity), at most 100 steps; a sum of 0 counts as 1e-8.
inline PlainRow PlainConditionalRow(const std::vector<float>& d, double perplexity) {
  const double inf = std::numeric_limits<double>::infinity();
  PlainRow row{std::vector<double>(d.size()), 1.0};
  double below = -inf;
  double above = inf;
  for (int step = 0; step < 100; ++step) {
    double sum = 0;
    for (std::size_t j = 0; j < d.size(); ++j) {
      row.p[j] = std::exp(-static_cast<double>(d[j]) * row.beta);
      sum += row.p[j];
    }
    if (sum == 0) sum = 1e-8;
    double mean_distance = 0;
    for (std::size_t j = 0; j < d.size(); ++j) {
      row.p[j] /= sum;
      mean_distance += static_cast<double>(d[j]) * row.p[j];
    }
    const double excess = std::log(sum) + row.beta * mean_distance - std::log(perplexity);
    if (std::fabs(excess) <= 1e-5) {
      row.met = true;
      break;
    }
    if (excess > 0) {
      below = row.beta;
      row.beta = above == inf ? 2 * row.beta : (row.beta + above) / 2;
    } else {
      above = row.beta;
      row.beta = below == -inf ? row.beta / 2 : (row.beta + below) / 2;
    }
  }
  return row;
}

// NumPy's pairwise summation of a[0 .. n): plain below 8 values, eight running sums
// up to 128, else two halves split at a multiple of 8.
inline double PlainPairwiseSum(const double* a, std::size_t n) {
  if (n < 8) {
    double sum = 0;
    for (std::size_t i = 0; i < n; ++i) sum += a[i];
    return sum;
  }
  if (n > 128) {
    const std::size_t half = n / 2 / 8 * 8;
    return PlainPairwiseSum(a, half) + PlainPairwiseSum(a + half, n - half);
  }
  double r[8];
  std::copy(a, a + 8, r);
  std::size_t i = 8;
  for (; i + 8 <= n; i += 8) {
    for (std::size_t lane = 0; lane < 8; ++lane) r[lane] += a[i + lane];
  }
  double sum = ((r[0] + r[1]) + (r[2] + r[3])) + ((r[4] + r[5]) + (r[6] + r[7]));
  for (; i < n; ++i) sum += a[i];
  return sum;
}

// numpy.sum of a contiguous array: its buffer's pieces of 8192, each pairwise.
inline double PlainNumpySum(const std::vector<double>& a) {
  double sum = 0;
  for (std::size_t first = 0; first < a.size(); first += 8192) {
    sum += PlainPairwiseSum(a.data() + first, std::min<std::size_t>(8192, a.size() - first));
  }
  return sum;
}

}  // namespace tsne_test
