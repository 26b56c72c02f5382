// Core's pieces that a reader or a tool run would not pin down: the thread utility's
// failure paths, packing split over threads, and the choice of Z's method.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <chrono>
#include <map>
#include <memory>
#include <random>
#include <stdexcept>
#include <system_error>
#include <utility>
#include <vector>

#include "bits.hpp"
#include "core/array_packing.hpp"
#include "core/data_affinities.hpp"
#include "core/input_error.hpp"
#include "core/sparse_columns.hpp"
#include "core/z_choice.hpp"
#include "support/parallel.hpp"

namespace tsne_test {
namespace {

using tsneloss::support::Parallel;

// Starts threads until `allowed` have started, then fails as the system would and
// sets `refused`.
tsneloss::support::ThreadStarter FailingAfter(int allowed, std::shared_ptr<std::atomic<bool>> refused = nullptr) {
  auto started = std::make_shared<std::atomic<int>>(0);
  return [started, allowed, refused](std::function<void()> body) {
    if (started->fetch_add(1) >= allowed) {
      if (refused) *refused = true;
      throw std::system_error(EAGAIN, std::generic_category());
    }
    return std::thread(std::move(body));
  };
}

TEST(ThreadUtility, AThreadThatCannotStartStopsTheLoopAsASystemFailure) {
  for (const int allowed : {0, 1, 2}) {
    SCOPED_TRACE(allowed);
    std::atomic<int> worked{0};
    std::atomic<int> taken{0};
    // The threads that did start cannot finish every task before the refusal: none
    // begins before it, and each then takes a while.
    auto refused = std::make_shared<std::atomic<bool>>(false);
    const Parallel parallel{4, FailingAfter(allowed, refused)};
    try {
      tsneloss::support::ParallelInOrder(
          64, parallel,
          [&](std::size_t) {
            while (!*refused) std::this_thread::yield();
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            ++worked;
          },
          [&](std::size_t) { ++taken; });
      ADD_FAILURE() << "no failure reported";
    } catch (const std::system_error& error) {
      EXPECT_NE(std::string(error.what()).find("cannot start a thread"), std::string::npos) << error.what();
    }
    // Stopped, not run to the end on fewer threads; the started ones were joined.
    EXPECT_LT(worked.load(), 64);
    EXPECT_LE(taken.load(), worked.load());
  }
}

TEST(ThreadUtility, TheLowestFailingTaskIsReportedAndLaterTakesAreSkipped) {
  std::vector<std::size_t> taken;
  try {
    tsneloss::support::ParallelInOrder(
        40, Parallel{3, {}},
        [&](std::size_t task) {
          if (task == 17 || task == 31) throw std::runtime_error("task " + std::to_string(task));
        },
        [&](std::size_t task) { taken.push_back(task); });
    ADD_FAILURE() << "no failure reported";
  } catch (const std::runtime_error& error) {
    EXPECT_STREQ(error.what(), "task 17");
  }
  // Every task before the fault was taken, in order; none after it.
  std::vector<std::size_t> expected(17);
  for (std::size_t k = 0; k < 17; ++k) expected[k] = k;
  EXPECT_EQ(taken, expected);
}

TEST(ThreadUtility, ALowerTaskFailingFirstIsReportedOverAHigherOneFailingLater) {
  // Task 1 fails well after task 0 has failed: the report is still task 0's.
  std::atomic<bool> one_started{false};
  std::atomic<bool> zero_failing{false};
  try {
    tsneloss::support::ParallelFor(2, Parallel{2, {}}, [&](std::size_t task, unsigned) {
      if (task == 0) {
        while (!one_started) std::this_thread::yield();
        zero_failing = true;
        throw std::runtime_error("task 0");
      }
      one_started = true;
      while (!zero_failing) std::this_thread::yield();
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      throw std::runtime_error("task 1");
    });
    ADD_FAILURE() << "no failure reported";
  } catch (const std::runtime_error& error) {
    EXPECT_STREQ(error.what(), "task 0");
  }
}

TEST(ThreadUtility, EveryTaskOnceAndWorkerZeroIsTheCaller) {
  const auto caller = std::this_thread::get_id();
  std::vector<std::atomic<int>> done(1000);
  std::atomic<bool> zero_elsewhere{false};
  tsneloss::support::ParallelFor(done.size(), Parallel{3, {}}, [&](std::size_t task, unsigned worker) {
    ++done[task];
    if (worker == 0 && std::this_thread::get_id() != caller) zero_elsewhere = true;
  });
  for (const auto& count : done) EXPECT_EQ(count.load(), 1);
  EXPECT_FALSE(zero_elsewhere.load());
}

TEST(ThreadUtility, BackgroundRethrowsAndFailsToStartAsTheSystem) {
  tsneloss::support::Background failing([] { throw std::runtime_error("inside"); });
  EXPECT_THROW(failing.Wait(), std::runtime_error);
  EXPECT_THROW(tsneloss::support::Background([] {}, FailingAfter(0)), std::system_error);
}

// Packing split over threads (from 2^16 entries) against a plain transcription:
// every column kept, rows sorted, repeats added in the order given.
TEST(PackColumns, ManyEntriesOnManyThreadsPackAsOneByOne) {
  std::mt19937_64 rng(4177);
  for (const std::uint64_t n : {3u, 70u, 5000u}) {
    for (const std::size_t entries : {std::size_t{1} << 16, (std::size_t{1} << 16) + 1, std::size_t{200003}}) {
      SCOPED_TRACE("n " + std::to_string(n) + ", entries " + std::to_string(entries));
      std::vector<std::int64_t> rows(entries), columns(entries);
      std::vector<double> values(entries);
      std::map<std::pair<std::int64_t, std::int64_t>, double> expected;  // (column, row)
      for (std::size_t k = 0; k < entries; ++k) {
        rows[k] = static_cast<std::int64_t>(rng() % n);
        columns[k] = static_cast<std::int64_t>(rng() % n);
        values[k] = static_cast<double>(rng() % 1000) / 7.0;
        auto [at, fresh] = expected.try_emplace({columns[k], rows[k]}, values[k]);
        if (!fresh) at->second = at->second + values[k];
      }
      const tsneloss::core::SparseColumns p = tsneloss::core::PackColumns(n, rows, columns, values, "P");
      ASSERT_EQ(p.values.size(), expected.size());
      std::vector<double> counts(n, 0.0);
      std::size_t k = 0;
      for (const auto& [place, value] : expected) {
        counts[static_cast<std::size_t>(place.first)] += 1;
        EXPECT_EQ(p.row_indices[k], static_cast<double>(place.second + 1));
        EXPECT_EQ(p.values[k], value);
        ++k;
      }
      EXPECT_EQ(p.column_counts, counts);
    }
  }
}

// A CSC whose rows never decrease but repeat inside a column looks packed and is not:
// its repeats are added as PackColumns adds the same triplets.
TEST(PackCompressed, RowsRepeatedInsideASortedColumnAreMerged) {
  const std::uint64_t n = 4;
  const std::vector<std::int32_t> indptr = {0, 3, 5, 5, 8};
  const std::vector<std::int32_t> indices = {1, 1, 3, 0, 2, 0, 0, 0};
  const std::vector<double> data = {0.5, 0.25, 0.125, 1.5, 2.5, 0.1, 0.2, 0.3};
  const tsneloss::core::HostAffinities packed =
      tsneloss::core::PackCompressed(tsneloss::core::CompressedArrays<std::int32_t, double>{n, true, indptr, indices, data}, "P");
  const std::vector<std::int64_t> rows(indices.begin(), indices.end());
  std::vector<std::int64_t> columns;
  for (std::uint64_t j = 0; j < n; ++j) columns.resize(static_cast<std::size_t>(indptr[j + 1]), static_cast<std::int64_t>(j));
  const tsneloss::core::SparseColumns expected = tsneloss::core::PackColumns(n, rows, columns, data, "P");
  EXPECT_EQ(packed.merged_positions, 2u);
  ASSERT_EQ(packed.nnz, expected.values.size());
  const auto first = [](const matrix::ArrayPtr& array, std::size_t count) {
    const double* at = tsneloss::core::ArrayData(array);
    return std::vector<double>(at, at + count);
  };
  EXPECT_EQ(BitsOf(first(packed.column_counts, n)), BitsOf(expected.column_counts));
  EXPECT_EQ(BitsOf(first(packed.row_indices, packed.nnz)), BitsOf(expected.row_indices));
  EXPECT_EQ(BitsOf(first(packed.values, packed.nnz)), BitsOf(expected.values));
}

TEST(ZChoice, AutoTakesTheExactZUpToItsLimitAndBeyondThreeDimensions) {
  EXPECT_TRUE(tsneloss::core::AutoTakesExact(100000, 2));
  EXPECT_FALSE(tsneloss::core::AutoTakesExact(100001, 2));
  EXPECT_FALSE(tsneloss::core::AutoTakesExact(100001, 3));
  EXPECT_TRUE(tsneloss::core::AutoTakesExact(100001, 4));
  EXPECT_TRUE(tsneloss::core::AutoTakesExact(2, 1));
}

}  // namespace
TEST(AffinityRequest, AllPairsBeyondMemoryAndNeighbourCountsAtTheirEdges) {
  using tsneloss::affinities::NeighbourMethod;
  // 10^6 points: 10^12 pairs of 28 bytes, more than any machine here holds.
  try {
    tsneloss::core::CheckAffinityRequest(1000000, 2, 30, NeighbourMethod::kAll, "x.npy");
    ADD_FAILURE() << "an all-pairs P beyond memory was accepted";
  } catch (const tsneloss::core::InputError& error) {
    EXPECT_NE(std::string(error.what()).find("x.npy: P over all pairs of 1000000 points needs about 2.8e+04 GB"),
              std::string::npos)
        << error.what();
  }
  EXPECT_NO_THROW(tsneloss::core::CheckAffinityRequest(1000000, 2, 30, NeighbourMethod::kExact, "x.npy"));
  // Each large allocation beyond any machine here, refused with its estimate.
  const struct {
    NeighbourMethod method;
    std::uint64_t points;
    std::uint64_t dimension;
    double perplexity;
    const char* says;
  } beyond[] = {
      {NeighbourMethod::kExact, 2000000, 2, 1e6, "x.npy: P from each of 2000000 points' 1999999 nearest neighbours"},
      {NeighbourMethod::kAuto, 2000000, 2, 1e6, "x.npy: P from each of 2000000 points' 1999999 nearest neighbours"},
      {NeighbourMethod::kApproximate, 2000000000, 2000, 1,
       "x.npy: the graph index of 2000000000 points for their approximate neighbours needs about"},
      {NeighbourMethod::kExact, 2000000000, 2000, 1,
       "x.npy: the exact search for each of 2000000000 points' 4 nearest neighbours needs about"},
  };
  for (const auto& c : beyond) {
    SCOPED_TRACE(c.says);
    try {
      tsneloss::core::CheckAffinityRequest(c.points, c.dimension, c.perplexity, c.method, "x.npy");
      ADD_FAILURE() << "accepted";
    } catch (const tsneloss::core::InputError& error) {
      EXPECT_NE(std::string(error.what()).find(c.says), std::string::npos) << error.what();
      EXPECT_NE(std::string(error.what()).find("available to this process"), std::string::npos) << error.what();
    }
  }
  // k = min(N - 1, floor(3 perplexity + 1)).
  EXPECT_EQ(tsneloss::affinities::NeighbourCount(1000, 30), 91u);
  EXPECT_EQ(tsneloss::affinities::NeighbourCount(1000, 30.9), 93u);
  EXPECT_EQ(tsneloss::affinities::NeighbourCount(50, 30), 49u);
  EXPECT_EQ(tsneloss::affinities::NeighbourCount(2, 0.5), 1u);
  EXPECT_EQ(tsneloss::affinities::ResolvedMethod(NeighbourMethod::kAuto, tsneloss::affinities::kAutoExactNeighboursLimit),
            NeighbourMethod::kExact);
  EXPECT_EQ(tsneloss::affinities::ResolvedMethod(NeighbourMethod::kAuto, tsneloss::affinities::kAutoExactNeighboursLimit + 1),
            NeighbourMethod::kApproximate);
}

// A computed P is used or saved only when finite and adding up to 1, the all-pairs
// floor's epsilon per value allowed for.
TEST(ComputedP, NotFiniteOrNotAddingUpToOneIsAFault) {
  const struct {
    const char* name;
    std::vector<double> values;
    std::string fault;
  } cases[] = {
      {"sound", {0.25, 0.25, 0.5}, ""},
      {"NaN", {0.5, std::nan(""), 0.5}, "a value of P is nan"},
      {"+inf", {0.5, HUGE_VAL}, "a value of P is inf"},
      {"all zeros", {0.0, 0.0}, "the values of P add up to 0, not 1"},
      {"half", {0.25, 0.25}, "the values of P add up to 0.5, not 1"},
      {"2^-18 over", {0.5, 0.5, 0x1p-18}, "the values of P add up to 1.0000038146972656, not 1"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    tsneloss::affinities::SparseRows p;
    p.values.assign(c.values.begin(), c.values.end());
    EXPECT_EQ(tsneloss::core::ComputedPFault(p), c.fault);
  }
  // A million values each raised to the floor: about 2.2e-10 over 1.
  tsneloss::affinities::SparseRows floored;
  floored.values.assign(1000000, 1e-6 + 2.220446049250313e-16);
  EXPECT_EQ(tsneloss::core::ComputedPFault(floored), "");
}

}  // namespace tsne_test
