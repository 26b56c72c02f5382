// .npz archives whose entries come row after row or in no order, read in chunks of
// every size, their columns counted on one thread or several: the same bits as the
// same P stored column after column, and the file's first fault reported wherever the
// chunks cut it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <numeric>
#include <random>

#include "bits.hpp"
#include "core/entry_packing.hpp"
#include "core/input_error.hpp"
#include "formats/npz_file.hpp"
#include "packed_columns.hpp"
#include "sparse_files.hpp"
#include "temporary_folder.hpp"

namespace tsne_test {
namespace {

struct Triplets {
  std::int32_t n = 0;
  std::vector<std::int32_t> rows, columns;
  std::vector<double> values;

  // Compressed along rows (csr) or columns (csc), a position's repeats kept in order;
  // unsorted, the entries must come row after row (or column after column) already.
  std::string Compressed(const std::string& format, bool deflated, bool sort = true) const {
    const bool by_rows = format == "csr";
    std::vector<std::size_t> order(values.size());
    std::iota(order.begin(), order.end(), 0);
    if (sort) std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
      return by_rows ? std::pair(rows[a], columns[a]) < std::pair(rows[b], columns[b])
                     : std::pair(columns[a], rows[a]) < std::pair(columns[b], rows[b]);
    });
    std::vector<std::int32_t> indices;
    std::vector<std::int32_t> indptr(static_cast<std::size_t>(n) + 1, 0);
    std::vector<double> data;
    for (const std::size_t k : order) {
      indices.push_back(by_rows ? columns[k] : rows[k]);
      ++indptr[static_cast<std::size_t>(by_rows ? rows[k] : columns[k]) + 1];
      data.push_back(values[k]);
    }
    std::partial_sum(indptr.begin(), indptr.end(), indptr.begin());
    return SparseNpz(format, n, indices, indptr, data, deflated);
  }
  std::string Coordinates(bool deflated) const { return SparseNpz("coo", n, rows, columns, values, deflated); }
};

// Positions in no order, some given up to four times with values whose sum depends on
// the order of adding.
Triplets Shuffled(std::int32_t n, std::size_t count, std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  Triplets t;
  t.n = n;
  const double awkward[] = {1e16, 1.0, -1e16, 3.0};
  while (t.values.size() < count) {
    const auto row = static_cast<std::int32_t>(rng() % static_cast<std::uint64_t>(n));
    const auto column = static_cast<std::int32_t>(rng() % static_cast<std::uint64_t>(n));
    const std::size_t times = rng() % 8 == 0 ? 2 + rng() % 3 : 1;
    for (std::size_t k = 0; k < times && t.values.size() < count; ++k) {
      t.rows.push_back(row);
      t.columns.push_back(column);
      t.values.push_back(times > 2 ? std::abs(awkward[k]) : static_cast<double>(rng() % 1000) / 7.0);
    }
  }
  return t;
}

class NpzChunks : public ::testing::Test {
 protected:
  Packed Read(const std::string& bytes, std::uint64_t n, const tsneloss::formats::NpzChunking& chunking, unsigned threads) {
    tsneloss::formats::InputSource source(dir_.Write("p.npz", bytes).string());
    tsneloss::formats::NpzStream stream(source, {n, 2, "y"}, chunking);
    return Pack(n, stream, threads, "p.npz");
  }
  std::string Refusal(const std::string& bytes, std::uint64_t n, const tsneloss::formats::NpzChunking& chunking) {
    try {
      Read(bytes, n, chunking, 2);
    } catch (const tsneloss::core::InputError& error) {
      // Named as the file's name alone.
      std::string what = error.what();
      const std::string folder = (dir_ / "").string();
      if (what.starts_with(folder)) what.erase(0, folder.size());
      return what;
    }
    return "(nothing thrown)";
  }

  tsne_test::TemporaryFolder dir_;
};

TEST_F(NpzChunks, EveryOrderAndChunkingPacksTheColumnOrderedBits) {
  const Triplets p = Shuffled(70, 3000, 11);
  const Packed want = Read(p.Compressed("csc", false), 70, {}, 1);
  const std::pair<const char*, std::string> archives[] = {
      {"csr stored", p.Compressed("csr", false)},
      {"csr deflated", p.Compressed("csr", true)},
      {"coo stored", p.Coordinates(false)},
      {"coo deflated", p.Coordinates(true)},
  };
  for (const auto& [name, archive] : archives) {
    for (const std::size_t chunk : {std::size_t{5}, std::size_t{64}, std::size_t{2999}, std::size_t{1} << 18}) {
      for (const std::uint64_t parallel_from : {std::uint64_t{1}, std::uint64_t{1} << 22}) {
        for (const unsigned threads : {1u, 3u}) {
          SCOPED_TRACE(std::string(name) + ", chunks of " + std::to_string(chunk) + ", parallel count from " +
                       std::to_string(parallel_from) + ", threads " + std::to_string(threads));
          const Packed got = Read(archive, 70, {chunk, parallel_from}, threads);
          EXPECT_EQ(BitsOf(got.counts), BitsOf(want.counts));
          EXPECT_EQ(BitsOf(got.rows), BitsOf(want.rows));
          EXPECT_EQ(BitsOf(got.values), BitsOf(want.values));
        }
      }
    }
  }
}

TEST_F(NpzChunks, TheFirstFaultInTheFileIsReportedWhereverTheChunksCut) {
  const std::int32_t n = 40;
  const Triplets p = Shuffled(n, 400, 5);
  // Row after row, element k of the archive is k of these.
  Triplets by_rows = p;
  {
    std::vector<std::size_t> order(p.values.size());
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
      return std::pair(p.rows[a], p.columns[a]) < std::pair(p.rows[b], p.columns[b]);
    });
    for (std::size_t k = 0; k < order.size(); ++k) {
      by_rows.rows[k] = p.rows[order[k]];
      by_rows.columns[k] = p.columns[order[k]];
      by_rows.values[k] = p.values[order[k]];
    }
  }
  const double nan = std::numeric_limits<double>::quiet_NaN();
  // Faults at the edges of chunks of 7 and in between; a later fault never wins.
  for (const std::size_t at : {std::size_t{0}, std::size_t{6}, std::size_t{7}, std::size_t{200}, std::size_t{399}}) {
    for (const std::size_t chunk : {std::size_t{7}, std::size_t{1} << 18}) {
      SCOPED_TRACE("fault at element " + std::to_string(at) + ", chunks of " + std::to_string(chunk));
      const tsneloss::formats::NpzChunking chunking{chunk, 1};
      // A bad value alone: the columns are counted first and entries spread as they come.
      Triplets bad_value = by_rows;
      bad_value.values[at] = nan;
      if (at + 1 < bad_value.values.size()) bad_value.values.back() = -1.0;
      EXPECT_EQ(Refusal(bad_value.Compressed("csr", false, false), n, chunking),
                "p.npz: element " + std::to_string(at) +
                    ": a value of P is nan; values of P must be finite and not negative");
      // A column outside P, then a bad value: nothing is counted, the column is named.
      Triplets bad_column = by_rows;
      bad_column.columns[at] = n + 5;
      if (at + 1 < bad_column.values.size()) bad_column.values[at + 1] = nan;
      EXPECT_EQ(Refusal(bad_column.Compressed("csr", false, false), n, chunking),
                "p.npz: element " + std::to_string(at) + ": 'indices': index 45 is outside 0 to 39");
    }
  }
  // A corrupt archive is the fault to report, before a bad value that may come of it.
  Triplets bad_value = by_rows;
  bad_value.values[3] = nan;
  std::string archive = bad_value.Compressed("csr", false, false);
  const double last = bad_value.values.back();
  const auto where = archive.find(std::string(reinterpret_cast<const char*>(&last), sizeof last));
  ASSERT_NE(where, std::string::npos);
  archive[where] = static_cast<char>(archive[where] ^ 1);
  EXPECT_NE(Refusal(archive, n, {7, 1}).find("fails its CRC-32 check"), std::string::npos);
}

}  // namespace
}  // namespace tsne_test
