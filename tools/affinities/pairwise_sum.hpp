// NumPy's summation of a contiguous array, for sums that must round as t-SNE's do:
// pieces of 8192 values (its buffer) added in turn, each summed pairwise: blocks of
// up to 128 values in eight running sums, halves (split at multiples of 8) above.
#pragma once

#include <cstddef>

namespace tsneloss::affinities {

// The sum of at(i) for i in [first, first + n), in NumPy's order.
template <typename At>
double PairwiseSum(const At& at, std::size_t first, std::size_t n) {
  if (n < 8) {
    double sum = 0;
    for (std::size_t i = 0; i < n; ++i) sum += at(first + i);
    return sum;
  }
  if (n <= 128) {
    double r[8];
    for (std::size_t j = 0; j < 8; ++j) r[j] = at(first + j);
    std::size_t i = 8;
    for (; i < n - n % 8; i += 8) {
      for (std::size_t j = 0; j < 8; ++j) r[j] += at(first + i + j);
    }
    double sum = ((r[0] + r[1]) + (r[2] + r[3])) + ((r[4] + r[5]) + (r[6] + r[7]));
    for (; i < n; ++i) sum += at(first + i);
    return sum;
  }
  std::size_t half = n / 2;
  half -= half % 8;
  return PairwiseSum(at, first, half) + PairwiseSum(at, first + half, n - half);
}

// The sum of at(i) for i in [0, n), as NumPy's sum of an array of n values.
template <typename At>
double NumpySum(const At& at, std::size_t n) {
  constexpr std::size_t kPiece = 8192;
  double sum = 0;
  for (std::size_t first = 0; first < n; first += kPiece) {
    sum += PairwiseSum(at, first, n - first < kPiece ? n - first : kPiece);
  }
  return sum;
}

}  // namespace tsneloss::affinities
