// P written by --save-p reads back to the same bits: .npz (zip64 fields forced too)
// and Matrix Market, on a P that is not symmetric, so a transposed write shows.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <limits>
#include <tuple>
#include <vector>

#include "formats/affinities_file.hpp"
#include "formats/affinities_writer.hpp"
#include "temporary_folder.hpp"

namespace tsneloss::formats {
namespace {

// Row i: (column, value) in increasing columns.
tsneloss::affinities::SparseRows OddP() {
  tsneloss::affinities::SparseRows p;
  p.n = 4;
  p.row_starts = {0, 2, 2, 5, 6};
  p.columns = {1, 3, 0, 1, 3, 2};
  p.values = {1.0 / 3, 5e-324, 0.1, std::numeric_limits<double>::max(), 2.220446049250313e-16, 123456789.125};
  return p;
}

using Entry = std::tuple<std::uint64_t, std::uint64_t, std::uint64_t>;  // (row, column, bits)

std::uint64_t Bits(double value) {
  std::uint64_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  return bits;
}

std::vector<Entry> EntriesOf(const tsneloss::affinities::SparseRows& p) {
  std::vector<Entry> entries;
  for (std::size_t i = 0; i < p.n; ++i) {
    for (auto e = p.row_starts[i]; e < p.row_starts[i + 1]; ++e) {
      entries.emplace_back(i, p.columns[static_cast<std::size_t>(e)], Bits(p.values[static_cast<std::size_t>(e)]));
    }
  }
  std::sort(entries.begin(), entries.end());
  return entries;
}

std::vector<Entry> EntriesRead(const std::string& path) {
  InputSource source(path);
  const core::SparseColumns read = ReadAffinities(source, {4, 2, "y"});
  std::vector<Entry> entries;
  std::size_t at = 0;
  for (std::size_t j = 0; j < read.n; ++j) {
    for (std::size_t m = 0; m < static_cast<std::size_t>(read.column_counts[j]); ++m, ++at) {
      entries.emplace_back(static_cast<std::uint64_t>(read.row_indices[at]) - 1, j, Bits(read.values[at]));
    }
  }
  std::sort(entries.begin(), entries.end());
  return entries;
}

TEST(AffinitiesWriter, ReadsBackToTheSameBits) {
  const tsne_test::TemporaryFolder dir;
  const tsneloss::affinities::SparseRows p = OddP();
  const struct {
    const char* file;
    std::uint64_t zip64_from;
  } cases[] = {{"p.npz", ZipWriter::kZip64From}, {"p64.npz", 0}, {"p.mtx", ZipWriter::kZip64From}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file);
    const std::string path = (dir / c.file).string();
    WriteAffinities(path, p, c.zip64_from);
    EXPECT_EQ(EntriesRead(path), EntriesOf(p));
  }
  EXPECT_THROW(WriteAffinities((dir / "p.txt").string(), p), std::invalid_argument);
  EXPECT_THROW(CheckAffinitiesWritable((dir / "missing" / "p.npz").string()), std::runtime_error);
}

}  // namespace
}  // namespace tsneloss::formats
