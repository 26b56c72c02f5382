// The walk over one row block that every instruction-set path shares: which chunk of
// columns meets which group of rows, when the lanes are folded and in what order. A
// path supplies only the arithmetic on kLanes lanes (a `Path` type with Lanes, Zero,
// Interior, AddTerms and Fold).
// Internal linkage on purpose: each path's copy is compiled with its own instructions.
#pragma once

#include <cstddef>

#include "normaliser/compensated_sum.hpp"
#include "normaliser/exact_layout.hpp"

namespace tsneloss::normaliser::detail {
namespace {

inline std::size_t Smaller(std::size_t a, std::size_t b) { return a < b ? a : b; }
inline std::size_t Larger(std::size_t a, std::size_t b) { return a < b ? b : a; }

// The lane increments of a chunk that needs masking (pairs with j <= i, or j >= n):
// each present term divided on its own, lane l += (t0 + t1) + (t2 + t3).
template <std::size_t kD>
void EdgeTerms(const SweepInput& in, std::size_t r0, std::size_t c, double (&out)[kLanes]) {
  const std::size_t d = kD != 0 ? kD : in.d;
  for (std::size_t l = 0; l < kLanes; ++l) {
    const std::size_t j = c + l;
    double t[kGroupRows];
    for (std::size_t r = 0; r < kGroupRows; ++r) {
      const std::size_t i = r0 + r;
      t[r] = 0;
      if (j <= i || j >= in.n) continue;
      double a = 1.0;
      for (std::size_t k = 0; k < d; ++k) {
        const double diff = in.columns[k * in.stride + i] - in.columns[k * in.stride + j];
        a = a + diff * diff;
      }
      t[r] = 1.0 / a;
    }
    out[l] = (t[0] + t[1]) + (t[2] + t[3]);
  }
}

template <class Path, std::size_t kD>
double SweepRowBlock(const SweepInput& in, std::size_t block) {
  const std::size_t row_begin = block * kRowBlock;
  const std::size_t row_end = Smaller(in.n, row_begin + kRowBlock);
  CompensatedSum sum;
  for (std::size_t col_begin = (row_begin + 1) / kColumnBlock * kColumnBlock; col_begin < in.n;
       col_begin += kColumnBlock) {
    const std::size_t col_end = Smaller(in.n, col_begin + kColumnBlock);
    for (std::size_t r0 = row_begin; r0 < row_end; r0 += kGroupRows) {
      const std::size_t first = Larger(col_begin, r0 + 1);
      if (first >= col_end) break;  // later rows start further right still
      typename Path::Lanes lanes = Path::Zero();
      for (std::size_t c = first / kLanes * kLanes; c < col_end; c += kLanes) {
        if (c >= r0 + kGroupRows && c + kLanes <= in.n) {
          Path::template Interior<kD>(in, r0, c, lanes);
        } else {
          double terms[kLanes];
          EdgeTerms<kD>(in, r0, c, terms);
          Path::AddTerms(terms, lanes);
        }
      }
      sum.Add(Path::Fold(lanes));
    }
  }
  return sum.Value();
}

// The lane increments of columns c .. c + kLanes - 1 where some are missing (past
// `column_end`) or some of the group's rows are (past `rows`): each present term
// divided on its own, lane l += (t0 + t1) + (t2 + t3).
template <std::size_t kD>
void CrossEdgeTerms(const SweepInput& in, std::size_t r0, std::size_t rows, std::size_t c, std::size_t column_end,
                    double (&out)[kLanes]) {
  const std::size_t d = kD != 0 ? kD : in.d;
  for (std::size_t l = 0; l < kLanes; ++l) {
    const std::size_t j = c + l;
    double t[kGroupRows];
    for (std::size_t r = 0; r < kGroupRows; ++r) {
      t[r] = 0;
      if (r >= rows || j >= column_end) continue;
      double a = 1.0;
      for (std::size_t k = 0; k < d; ++k) {
        const double diff = in.columns[k * in.stride + r0 + r] - in.columns[k * in.stride + j];
        a = a + diff * diff;
      }
      t[r] = 1.0 / a;
    }
    out[l] = (t[0] + t[1]) + (t[2] + t[3]);
  }
}

template <class Path, std::size_t kD>
double CrossSum(const SweepInput& in, std::size_t r0, std::size_t rows, std::size_t column_begin,
                std::size_t column_end) {
  CompensatedSum sum;
  for (std::size_t block = column_begin; block < column_end; block += kColumnBlock) {
    const std::size_t block_end = Smaller(column_end, block + kColumnBlock);
    typename Path::Lanes lanes = Path::Zero();
    for (std::size_t c = block; c < block_end; c += kLanes) {
      if (rows == kGroupRows && c + kLanes <= block_end) {
        Path::template Interior<kD>(in, r0, c, lanes);
      } else {
        double terms[kLanes];
        CrossEdgeTerms<kD>(in, r0, rows, c, block_end, terms);
        Path::AddTerms(terms, lanes);
      }
    }
    sum.Add(Path::Fold(lanes));
  }
  return sum.Value();
}

template <class Path>
double CrossSumAnyD(const SweepInput& in, std::size_t r0, std::size_t rows, std::size_t column_begin,
                    std::size_t column_end) {
  switch (in.d) {
    case 1: return CrossSum<Path, 1>(in, r0, rows, column_begin, column_end);
    case 2: return CrossSum<Path, 2>(in, r0, rows, column_begin, column_end);
    case 3: return CrossSum<Path, 3>(in, r0, rows, column_begin, column_end);
    default: return CrossSum<Path, 0>(in, r0, rows, column_begin, column_end);
  }
}

// Small dimensions get their own loops; the sums are the same.
template <class Path>
double SweepRowBlockAnyD(const SweepInput& in, std::size_t block) {
  switch (in.d) {
    case 1: return SweepRowBlock<Path, 1>(in, block);
    case 2: return SweepRowBlock<Path, 2>(in, block);
    case 3: return SweepRowBlock<Path, 3>(in, block);
    default: return SweepRowBlock<Path, 0>(in, block);
  }
}

}  // namespace
}  // namespace tsneloss::normaliser::detail
