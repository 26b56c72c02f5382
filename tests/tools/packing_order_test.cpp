// Packing P's entries in whatever order a file gives them: column after column, row
// after row or shuffled, with a bound (read once) or without (read twice), the packed
// arrays come out the same bits, repeated positions added in the order given.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <numeric>
#include <optional>
#include <random>
#include <span>
#include <utility>
#include <vector>

#include "core/destination_sort.hpp"
#include "core/entry_packing.hpp"
#include "core/input_error.hpp"
#include "packed_columns.hpp"

namespace tsne_test {
namespace {

struct Entry {
  std::int64_t row;
  std::int64_t column;
  double value;
};

// Entries handed over in blocks of `block`, counting the passes; `changed` alters
// the second pass as a file rewritten between the passes would. With `counting`, the
// columns are counted first, and `miscounted` moves one entry's count to the next
// column, as a file rewritten after the count would.
class ListStream final : public tsneloss::core::EntryStream {
 public:
  ListStream(std::vector<Entry> entries, std::optional<std::uint64_t> bound, std::size_t block = 1000)
      : entries_(std::move(entries)), bound_(bound), block_(block) {}

  void ForEach(const std::function<void(const tsneloss::core::EntryBlock&)>& take) override {
    ++passes;
    std::vector<std::int64_t> rows, columns;
    std::vector<double> values;
    for (std::size_t from = 0; from < entries_.size(); from += block_) {
      rows.clear();
      columns.clear();
      values.clear();
      for (std::size_t k = from; k < std::min(from + block_, entries_.size()); ++k) {
        const bool moved = changed && passes > 1 && k == 0;
        rows.push_back(entries_[k].row);
        columns.push_back(moved ? (entries_[k].column + 1) % n : entries_[k].column);
        values.push_back(entries_[k].value);
      }
      take({rows, columns, values});
    }
  }
  std::optional<std::uint64_t> EntryBound() const override { return bound_; }
  bool CountColumns(std::span<std::uint64_t> counts, unsigned) override {
    if (!counting) return false;
    for (const Entry& e : entries_) ++counts[static_cast<std::size_t>(e.column)];
    if (miscounted != 0) {
      const auto column = static_cast<std::size_t>(entries_.front().column);
      --counts[column];
      counts[(column + 1) % counts.size()] += miscounted;
    }
    return true;
  }

  int passes = 0;
  bool counting = false;
  int miscounted = 0;
  bool changed = false;
  std::int64_t n = 1;

 private:
  std::vector<Entry> entries_;
  std::optional<std::uint64_t> bound_;
  std::size_t block_;
};

// A plain transcription: positions in (column, row) order, values added in the order given.
Packed Expected(std::uint64_t n, const std::vector<Entry>& entries) {
  std::map<std::pair<std::int64_t, std::int64_t>, std::pair<double, int>> sums;
  for (const Entry& e : entries) {
    auto [at, fresh] = sums.try_emplace({e.column, e.row}, e.value, 1);
    if (!fresh) at->second = {at->second.first + e.value, at->second.second + 1};
  }
  Packed p;
  p.counts.assign(n, 0.0);
  for (const auto& [place, sum] : sums) {
    p.counts[static_cast<std::size_t>(place.first)] += 1;
    p.rows.push_back(static_cast<double>(place.second + 1));
    p.values.push_back(sum.first);
    if (sum.second > 1) ++p.size.merged_positions;
  }
  p.size.nnz = p.values.size();
  return p;
}

void ExpectSameBits(const std::vector<double>& got, const std::vector<double>& want, const char* what) {
  ASSERT_EQ(got.size(), want.size()) << what;
  EXPECT_EQ(std::memcmp(got.data(), want.data(), got.size() * sizeof(double)), 0) << what;
}

// `count` entries in no order; some positions given twice, some three or four times
// with values whose sum depends on the order (1e16 + 1 - 1e16 is 0, 1 + 1e16 - 1e16 is 1).
std::vector<Entry> Shuffled(std::uint64_t n, std::size_t count, std::mt19937_64& rng) {
  std::vector<Entry> entries;
  const double awkward[] = {1e16, 1.0, -1e16, 3.0};
  while (entries.size() < count) {
    const auto row = static_cast<std::int64_t>(rng() % n);
    const auto column = static_cast<std::int64_t>(rng() % n);
    const std::size_t times = rng() % 16 == 0 ? 2 + rng() % 3 : 1;
    for (std::size_t t = 0; t < times && entries.size() < count; ++t) {
      entries.push_back({row, column, times > 2 ? awkward[t] : static_cast<double>(rng() % 1000) / 7.0});
    }
  }
  std::shuffle(entries.begin(), entries.end(), rng);
  return entries;
}

// A stable sort: a position's repeats keep their order, so every order packs alike.
std::vector<Entry> Sorted(std::vector<Entry> entries, bool by_rows) {
  std::stable_sort(entries.begin(), entries.end(), [by_rows](const Entry& a, const Entry& b) {
    return by_rows ? std::pair(a.row, a.column) < std::pair(b.row, b.column)
                   : std::pair(a.column, a.row) < std::pair(b.column, b.row);
  });
  return entries;
}

TEST(PackingOrder, EveryOrderGivesTheSameBitsReadOnceWithABound) {
  std::mt19937_64 rng(9011);
  for (const auto& [n, count] : std::vector<std::pair<std::uint64_t, std::size_t>>{
           {1, 5}, {40, 300}, {300, 1 << 16}, {5000, (1 << 16) + 1}, {70000, 200003}}) {
    SCOPED_TRACE("n " + std::to_string(n) + ", entries " + std::to_string(count));
    const std::vector<Entry> shuffled = Shuffled(n, count, rng);
    const Packed want = Expected(n, shuffled);
    ASSERT_GT(want.size.merged_positions, 0u);
    for (const auto& [name, entries] : {std::pair("by columns", Sorted(shuffled, false)),
                                        std::pair("by rows", Sorted(shuffled, true)), std::pair("shuffled", shuffled)}) {
      for (const auto& [bounded, counting] : {std::pair(true, false), std::pair(false, false), std::pair(true, true)}) {
        SCOPED_TRACE(std::string(name) + (bounded ? ", bound" : ", no bound") + (counting ? ", counted" : ""));
        // A bound above the entries, as a symmetric file's.
        ListStream stream(entries, bounded ? std::optional<std::uint64_t>(count + 7) : std::nullopt, 4099);
        stream.counting = counting;
        const Packed got = Pack(n, stream, 3);
        EXPECT_EQ(stream.passes, bounded ? 1 : 2);
        EXPECT_EQ(got.size.nnz, want.size.nnz);
        EXPECT_EQ(got.size.merged_positions, want.size.merged_positions);
        ExpectSameBits(got.counts, want.counts, "column counts");
        ExpectSameBits(got.rows, want.rows, "row indices");
        ExpectSameBits(got.values, want.values, "values");
      }
    }
  }
}

TEST(PackingOrder, OutOfOrderPastAnInOrderStartAndABoundTooSmall) {
  std::mt19937_64 rng(77);
  const std::uint64_t n = 900;
  std::vector<Entry> entries = Sorted(Shuffled(n, 50000, rng), false);
  // Column after column for most of the file, then a tail in no order.
  std::shuffle(entries.begin() + 40000, entries.end(), rng);
  const Packed want = Expected(n, entries);
  for (const std::uint64_t bound : {std::uint64_t{50000}, std::uint64_t{41000}, std::uint64_t{100}}) {
    SCOPED_TRACE("bound " + std::to_string(bound));
    ListStream stream(entries, bound, 777);
    const Packed got = Pack(n, stream, 2);
    EXPECT_EQ(stream.passes, bound >= entries.size() ? 1 : 2);
    ExpectSameBits(got.counts, want.counts, "column counts");
    ExpectSameBits(got.rows, want.rows, "row indices");
    ExpectSameBits(got.values, want.values, "values");
  }
}

TEST(PackingOrder, AFileChangedBetweenTwoPassesIsRefused) {
  std::mt19937_64 rng(5);
  const std::uint64_t n = 50;
  // Read twice; or counted, then read, with one entry's column counted one further on,
  // or one entry more or fewer counted there.
  for (const auto& [bound, miscounted] : {std::pair(std::optional<std::uint64_t>(), 0),
                                          std::pair(std::optional<std::uint64_t>(10), 0),
                                          std::pair(std::optional<std::uint64_t>(2005), 1),
                                          std::pair(std::optional<std::uint64_t>(2005), 2),
                                          std::pair(std::optional<std::uint64_t>(2005), -1)}) {
    SCOPED_TRACE("miscounted " + std::to_string(miscounted));
    ListStream stream(Sorted(Shuffled(n, 2000, rng), true), bound);
    stream.changed = miscounted == 0;
    stream.counting = miscounted != 0;
    stream.miscounted = miscounted;
    stream.n = static_cast<std::int64_t>(n);
    try {
      Pack(n, stream, 2);
      ADD_FAILURE() << "no refusal";
    } catch (const tsneloss::core::InputError& error) {
      EXPECT_NE(std::string(error.what()).find("the file changed while it was read"), std::string::npos)
          << error.what();
    }
  }
}

// Small pieces reach every level of the distribution on a modest number of entries.
TEST(PlaceAtDestinations, EveryEntryLandsAtItsDestinationAtEveryDepth) {
  std::mt19937_64 rng(31);
  for (const std::uint64_t count : {1u, 17u, 1000u, 100000u}) {
    for (const unsigned piece_bits : {2u, 4u, 15u}) {
      SCOPED_TRACE(std::to_string(count) + " entries, pieces of 2^" + std::to_string(piece_bits));
      std::vector<std::uint64_t> destinations(count);
      std::iota(destinations.begin(), destinations.end(), 0);
      std::shuffle(destinations.begin(), destinations.end(), rng);
      std::vector<double> keys(count), values(count);
      for (std::uint64_t k = 0; k < count; ++k) {
        tsneloss::core::StoreKey(&keys[k], tsneloss::core::DestinationKey(destinations[k], destinations[k] * 3 % 1000003));
        values[k] = static_cast<double>(destinations[k]) + 0.5;
      }
      tsneloss::core::PlaceAtDestinations(keys.data(), values.data(), count, 2, piece_bits);
      for (std::uint64_t d = 0; d < count; ++d) {
        ASSERT_EQ(values[d], static_cast<double>(d) + 0.5) << d;
        ASSERT_EQ(keys[d], static_cast<double>(d * 3 % 1000003 + 1)) << d;
      }
    }
  }
}

}  // namespace
}  // namespace tsne_test
