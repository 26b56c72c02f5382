// The caller's arrays packed in parts on several threads, from enough entries to cut
// them into parts and to fill several runs: CSR, CSC and COO in any order give the
// bits of a plain transcription, repeats added in the order given.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <map>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "bits.hpp"
#include "core/array_packing.hpp"
#include "core/input_error.hpp"
#include "core/sparse_columns.hpp"

namespace tsne_test {
namespace {

using tsneloss::core::CompressedArrays;
using tsneloss::core::CoordinateArrays;
using tsneloss::core::HostAffinities;

struct Triplets {
  std::vector<std::int64_t> rows, columns;
  std::vector<double> values;
};

// Entries at random, a quarter of them repeating an earlier position, with values
// of magnitudes far apart, so that a repeat's sum depends on the order of adding.
Triplets RandomTriplets(std::uint64_t n, std::size_t entries, std::mt19937_64& rng) {
  Triplets t;
  for (std::size_t k = 0; k < entries; ++k) {
    const bool repeat = k > 0 && rng() % 4 == 0;
    const std::size_t earlier = repeat ? rng() % k : 0;
    t.rows.push_back(repeat ? t.rows[earlier] : static_cast<std::int64_t>(rng() % n));
    t.columns.push_back(repeat ? t.columns[earlier] : static_cast<std::int64_t>(rng() % n));
    t.values.push_back(static_cast<double>(rng() % 1000 + 1) / 7.0 * std::pow(10.0, static_cast<double>(rng() % 24)));
  }
  return t;
}

// The triplets reordered stably by `major` (rows or columns): entries at one position
// keep their order.
Triplets StablyBy(const Triplets& t, const std::vector<std::int64_t>& major) {
  std::vector<std::size_t> order(t.values.size());
  std::iota(order.begin(), order.end(), 0);
  std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return major[a] < major[b]; });
  Triplets sorted;
  for (const std::size_t k : order) {
    sorted.rows.push_back(t.rows[k]);
    sorted.columns.push_back(t.columns[k]);
    sorted.values.push_back(t.values[k]);
  }
  return sorted;
}

// Packed P as plain vectors: counts, one-based rows, values.
struct Packed {
  std::vector<double> counts, rows, values;
};

Packed Transcribed(std::uint64_t n, const Triplets& t) {
  std::map<std::pair<std::int64_t, std::int64_t>, double> sums;  // (column, row)
  for (std::size_t k = 0; k < t.values.size(); ++k) {
    auto [at, fresh] = sums.try_emplace({t.columns[k], t.rows[k]}, t.values[k]);
    if (!fresh) at->second = at->second + t.values[k];
  }
  Packed p{std::vector<double>(n, 0.0), {}, {}};
  for (const auto& [place, sum] : sums) {
    p.counts[static_cast<std::size_t>(place.first)] += 1;
    p.rows.push_back(static_cast<double>(place.second + 1));
    p.values.push_back(sum);
  }
  return p;
}

Packed Unpacked(const HostAffinities& p) {
  const auto first = [](const matrix::ArrayPtr& array, std::uint64_t count) {
    const double* at = tsneloss::core::ArrayData(array);
    return std::vector<double>(at, at + count);
  };
  return {first(p.column_counts, p.n), first(p.row_indices, p.nnz), first(p.values, p.nnz)};
}

void ExpectSameBits(const Packed& actual, const Packed& expected) {
  EXPECT_EQ(BitsOf(actual.counts), BitsOf(expected.counts));
  EXPECT_EQ(BitsOf(actual.rows), BitsOf(expected.rows));
  EXPECT_EQ(BitsOf(actual.values), BitsOf(expected.values));
}

template <typename Index, typename Value>
struct Arrays {
  std::vector<Index> first, second;
  std::vector<Value> values;
};

// Compressed by `major` (the triplets sorted by it): indptr, then the other index.
template <typename Index, typename Value>
Arrays<Index, Value> Compressed(std::uint64_t n, const std::vector<std::int64_t>& major,
                                const std::vector<std::int64_t>& minor, const std::vector<double>& values) {
  Arrays<Index, Value> a{std::vector<Index>(n + 1, 0), {}, {}};
  for (const std::int64_t j : major) ++a.first[static_cast<std::size_t>(j) + 1];
  std::partial_sum(a.first.begin(), a.first.end(), a.first.begin());
  a.second.assign(minor.begin(), minor.end());
  a.values.assign(values.begin(), values.end());
  return a;
}

template <typename Pair>
class ArrayPacking : public ::testing::Test {};
struct Int32Double {
  using Index = std::int32_t;
  using Value = double;
};
struct Int64Float {
  using Index = std::int64_t;
  using Value = float;
};
using Types = ::testing::Types<Int32Double, Int64Float>;
TYPED_TEST_SUITE(ArrayPacking, Types);

TYPED_TEST(ArrayPacking, EveryLayoutInPartsGivesTheTranscriptionsBits) {
  using Index = typename TypeParam::Index;
  using Value = typename TypeParam::Value;
  std::mt19937_64 rng(2025);
  // 70 points: dozens of repeats of each position; 5000: columns of a few dozen.
  for (const std::uint64_t n : {70u, 5000u}) {
    for (const unsigned threads : {1u, 3u}) {
      SCOPED_TRACE("n " + std::to_string(n) + ", threads " + std::to_string(threads));
      Triplets given = RandomTriplets(n, 200003, rng);
      // Values as the caller's type holds them.
      for (double& value : given.values) value = static_cast<double>(static_cast<Value>(value));
      const Packed expected = Transcribed(n, given);
      {
        SCOPED_TRACE("coo as given, then column after column");
        for (const Triplets& t : {given, StablyBy(given, given.columns)}) {
          const std::vector<Index> rows(t.rows.begin(), t.rows.end()), columns(t.columns.begin(), t.columns.end());
          const std::vector<Value> values(t.values.begin(), t.values.end());
          ExpectSameBits(Unpacked(tsneloss::core::PackCoordinates(
                             CoordinateArrays<Index, Value>{n, rows, columns, values}, "P", threads)),
                         expected);
        }
      }
      for (const bool by_columns : {false, true}) {
        SCOPED_TRACE(by_columns ? "csc" : "csr");
        const Triplets t = StablyBy(given, by_columns ? given.columns : given.rows);
        const auto a = by_columns ? Compressed<Index, Value>(n, t.columns, t.rows, t.values)
                                  : Compressed<Index, Value>(n, t.rows, t.columns, t.values);
        ExpectSameBits(Unpacked(tsneloss::core::PackCompressed(
                           CompressedArrays<Index, Value>{n, by_columns, a.first, a.second, a.values}, "P", threads)),
                       expected);
      }
    }
  }
}

// Row after row, columns rising in each row, each position once (canonical CSR):
// `per_row` positions in each of N rows, at random columns, or in the first columns
// where `leading`.
Triplets RowMajor(std::uint64_t n, std::uint64_t per_row, bool leading, std::mt19937_64& rng) {
  Triplets t;
  std::vector<std::int64_t> columns;
  for (std::uint64_t i = 0; i < n; ++i) {
    columns.clear();
    for (std::uint64_t k = 0; k < per_row; ++k) columns.push_back(static_cast<std::int64_t>(leading ? k : rng() % n));
    std::sort(columns.begin(), columns.end());
    columns.erase(std::unique(columns.begin(), columns.end()), columns.end());
    for (const std::int64_t j : columns) {
      t.rows.push_back(static_cast<std::int64_t>(i));
      t.columns.push_back(j);
      t.values.push_back(static_cast<double>(rng() % 1000 + 1) / 7.0);
    }
  }
  return t;
}

// Canonical CSR, and triplets in its order, skip sorting and merging: each column
// must still come out with its rows rising, over bands of columns, parts and lines
// that do not line up, and through the piecewise move of a band too large for
// scratch. A position given twice across the parts' border must still be merged.
TYPED_TEST(ArrayPacking, RowAfterRowGivesTheTranscriptionsBits) {
  using Index = typename TypeParam::Index;
  using Value = typename TypeParam::Value;
  std::mt19937_64 rng(2026);
  struct Case {
    const char* name;
    std::uint64_t n, per_row;
    bool leading, repeat_at_border;
  };
  for (const Case& c : {Case{"random columns", 40000, 7, false, false},
                        Case{"one band past scratch", 60000, 10, true, false},
                        Case{"a repeat across the parts' border", 30000, 9, false, true}}) {
    for (const unsigned threads : {1u, 3u}) {
      SCOPED_TRACE(std::string(c.name) + ", threads " + std::to_string(threads));
      Triplets t = RowMajor(c.n, c.per_row, c.leading, rng);
      for (double& value : t.values) value = static_cast<double>(static_cast<Value>(value));
      if (c.repeat_at_border) {
        // The second part's first entry repeats the first part's last.
        const std::size_t border = t.values.size() / 3;
        t.rows[border] = t.rows[border - 1];
        t.columns[border] = t.columns[border - 1];
        t.values[border] = 1e-20;
      }
      const Packed expected = Transcribed(c.n, t);
      const auto a = Compressed<Index, Value>(c.n, t.rows, t.columns, t.values);
      ExpectSameBits(Unpacked(tsneloss::core::PackCompressed(
                         CompressedArrays<Index, Value>{c.n, false, a.first, a.second, a.values}, "P", threads)),
                     expected);
      const std::vector<Index> rows(t.rows.begin(), t.rows.end()), columns(t.columns.begin(), t.columns.end());
      ExpectSameBits(Unpacked(tsneloss::core::PackCoordinates(
                         CoordinateArrays<Index, Value>{c.n, rows, columns, a.values}, "P", threads)),
                     expected);
    }
  }
}

// Each part checks its own entries at once: the fault reported is still the first in
// the caller's arrays, though a later part meets its own first, and though the first
// look at COO or CSR checks only the indices, leaving the values for later.
TEST(ArrayPacking, TheFirstFaultIsReportedWhicheverPartMeetsOne) {
  std::mt19937_64 rng(9);
  const std::uint64_t n = 30000;
  const Triplets canonical = RowMajor(n, 10, false, rng);
  struct Case {
    const char* name;
    std::size_t bad_value, bad_column, reported;
  };
  for (const Case& c : {Case{"the index first", 250000, 120000, 120000}, Case{"the value first", 50000, 250000, 50000}}) {
    Triplets t = canonical;
    t.values[c.bad_value] = -1.0;
    t.columns[c.bad_column] = static_cast<std::int64_t>(n);
    const auto a = Compressed<std::int64_t, double>(n, t.rows, t.columns, t.values);
    const auto expect_reported = [&](const char* layout, const auto& pack) {
      SCOPED_TRACE(std::string(c.name) + ", " + layout);
      try {
        pack();
        ADD_FAILURE() << "no fault reported";
      } catch (const tsneloss::core::InputError& error) {
        const std::string element = "element " + std::to_string(c.reported);
        EXPECT_NE(std::string(error.what()).find(element), std::string::npos) << error.what();
      }
    };
    expect_reported("coo", [&] {
      tsneloss::core::PackCoordinates(CoordinateArrays<std::int64_t, double>{n, t.rows, t.columns, t.values}, "P", 3);
    });
    expect_reported("csr", [&] {
      tsneloss::core::PackCompressed(CompressedArrays<std::int64_t, double>{n, false, a.first, a.second, a.values},
                                     "P", 3);
    });
  }
}

// One position given millions of times merges in the column's own room, in order.
TEST(ArrayPacking, OnePositionGivenManyTimesAddsInTheOrderGiven) {
  const std::uint64_t n = 3;
  const std::size_t entries = 1 << 18;
  const std::vector<std::int32_t> rows(entries, 1), columns(entries, 2);
  std::vector<double> values(entries);
  for (std::size_t k = 0; k < entries; ++k) values[k] = k % 3 == 0 ? 1e16 : 1.0;
  double sum = values[0];
  for (std::size_t k = 1; k < entries; ++k) sum += values[k];
  const HostAffinities packed =
      tsneloss::core::PackCoordinates(CoordinateArrays<std::int32_t, double>{n, rows, columns, values}, "P", 2);
  EXPECT_EQ(packed.merged_positions, 1u);
  ExpectSameBits(Unpacked(packed), Packed{{0.0, 0.0, 1.0}, {2.0}, {sum}});
}

}  // namespace
}  // namespace tsne_test
