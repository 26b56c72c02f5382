// Text read in small blocks over several threads gives what one thread reading it in
// one block gives: the same arrays, or the same first error at the same place. Plain
// files are mapped into memory, compressed ones read: both ways are checked.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "core/input_error.hpp"
#include "formats/affinities_file.hpp"
#include "formats/embedding_file.hpp"
#include "sparse_files.hpp"
#include "temporary_folder.hpp"

namespace tsne_test {
namespace {

namespace fs = std::filesystem;
using tsneloss::formats::ParallelReading;

// Blocks of a few lines, split into pieces of a line or two: every boundary case.
const ParallelReading kOneThread{1, std::size_t{1} << 24, std::size_t{1} << 24, {}};
const ParallelReading kManyThreads{4, 64, 1, {}};

class ParallelReadingTest : public ::testing::Test {
 protected:
  // The packed P, or the error's message.
  std::string ReadP(const std::string& text, const ParallelReading& reading, std::uint64_t points, bool gzip = false) {
    std::ofstream(path_, std::ios::binary) << (gzip ? Gzip(text) : text);
    try {
      tsneloss::formats::InputSource source(path_.string());
      const auto p = tsneloss::formats::ReadAffinities(source, {points, 2, "y"}, reading);
      std::string out = "merged " + std::to_string(p.merged_positions) + ":";
      for (std::size_t k = 0; k < p.values.size(); ++k) {
        out += " " + std::to_string(p.row_indices[k]) + "=" + std::to_string(p.values[k]);
      }
      for (const double count : p.column_counts) out += " c" + std::to_string(count);
      return out;
    } catch (const tsneloss::core::InputError& error) {
      return error.what();
    }
  }

  std::string ReadY(const std::string& text, const ParallelReading& reading, bool gzip = false) {
    std::ofstream(path_, std::ios::binary) << (gzip ? Gzip(text) : text);
    try {
      tsneloss::formats::InputSource source(path_.string());
      const auto y = tsneloss::formats::ReadTextEmbedding(source, reading);
      std::string out = std::to_string(y.n) + "x" + std::to_string(y.d) + ":";
      for (const double v : y.coordinates) out += " " + std::to_string(v);
      return out;
    } catch (const tsneloss::core::InputError& error) {
      return error.what();
    }
  }

  tsne_test::TemporaryFolder folder_;
  const fs::path path_ = folder_ / "p";
};

// A Matrix Market file of `entries` lines among comments, blank lines and CRLF ends.
std::vector<std::string> EntryLines(std::mt19937_64& rng, int n, int entries) {
  std::vector<std::string> lines;
  std::uniform_int_distribution<int> index(1, n);
  std::uniform_real_distribution<double> value(0.0, 1.0);
  for (int k = 0; k < entries; ++k) {
    switch (rng() % 8) {
      case 0: lines.push_back("% a comment"); break;
      case 1: lines.push_back(""); break;
      default: break;
    }
    const std::string end = rng() % 5 == 0 ? "\r" : "";
    const std::string separator = rng() % 4 == 0 ? " \t" : " ";
    lines.push_back(std::to_string(index(rng)) + separator + std::to_string(index(rng)) + " " +
                    std::to_string(value(rng)) + end);
  }
  return lines;
}

std::string Joined(const std::vector<std::string>& lines) {
  std::string text;
  for (const auto& line : lines) text += line + "\n";
  return text;
}

TEST_F(ParallelReadingTest, MatrixMarketGivesTheSameArraysAndTheSameFirstError) {
  std::mt19937_64 rng(17);
  const int n = 9;
  const int entries = 60;
  const std::vector<std::string> good = EntryLines(rng, n, entries);
  // Faults a line may hold, each refused at its own place.
  const std::vector<std::string> faults = {"1 2",       "1 2 0.5 7", "0 1 0.5",  "1 10 0.5", "1 x 0.5",
                                           "1 2 -0.5",  "1 2 nan",   "1 2 1e999", "2 2 0.5x", "% fine"};
  for (const char* symmetry : {"general", "symmetric"}) {
    const std::string header = std::string("%%MatrixMarket matrix coordinate real ") + symmetry + "\n% made up\n";
    const std::string sizes = std::to_string(n) + " " + std::to_string(n) + " ";
    SCOPED_TRACE(symmetry);
    const std::string whole = header + sizes + std::to_string(entries) + "\n" + Joined(good);
    const std::string expected = ReadP(whole, kOneThread, n);
    ASSERT_EQ(expected.rfind("merged", 0), 0u) << expected;
    EXPECT_EQ(ReadP(whole, kManyThreads, n), expected);
    EXPECT_EQ(ReadP(whole, kManyThreads, n, true), expected);
    for (int trial = 0; trial < 40; ++trial) {
      std::vector<std::string> lines = good;
      // One or two faults anywhere: the first must win however the text is split.
      for (int fault = 0; fault < 1 + trial % 2; ++fault) {
        lines[rng() % lines.size()] = faults[rng() % faults.size()];
      }
      // Declared counts too small, right and too large.
      const int declared = entries + static_cast<int>(rng() % 5) - 2;
      const std::string text = header + sizes + std::to_string(declared) + "\n" + Joined(lines);
      SCOPED_TRACE(text);
      const std::string one = ReadP(text, kOneThread, n);
      EXPECT_EQ(ReadP(text, kManyThreads, n, trial % 4 == 0), one);
    }
  }
}

TEST_F(ParallelReadingTest, EmbeddingGivesTheSameCoordinatesAndTheSameFirstError) {
  std::mt19937_64 rng(29);
  std::vector<std::string> good = {"# two coordinates a point", ""};
  std::uniform_real_distribution<double> coordinate(-5.0, 5.0);
  for (int k = 0; k < 50; ++k) {
    good.push_back(std::to_string(coordinate(rng)) + (rng() % 3 == 0 ? "," : " ") + std::to_string(coordinate(rng)));
    if (rng() % 6 == 0) good.push_back("# between");
  }
  const std::string expected = ReadY(Joined(good), kOneThread);
  ASSERT_EQ(expected.rfind("50x2:", 0), 0u) << expected;
  EXPECT_EQ(ReadY(Joined(good), kManyThreads), expected);
  EXPECT_EQ(ReadY(Joined(good), kManyThreads, true), expected);
  const std::vector<std::string> faults = {"1", "1 2 3", "1 inf", "x 2", "1e400 1", "# fine", ""};
  for (int trial = 0; trial < 40; ++trial) {
    std::vector<std::string> lines = good;
    for (int fault = 0; fault < 1 + trial % 2; ++fault) lines[2 + rng() % (lines.size() - 2)] = faults[rng() % faults.size()];
    const std::string text = Joined(lines);
    SCOPED_TRACE(text);
    EXPECT_EQ(ReadY(text, kManyThreads, trial % 4 == 0), ReadY(text, kOneThread));
  }
}

}  // namespace
}  // namespace tsne_test
