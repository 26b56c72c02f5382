#include "core/destination_sort.hpp"

#include <algorithm>
#include <bit>
#include <vector>

#include "support/parallel.hpp"

namespace tsneloss::core {
namespace {

// Runs written at once by one distribution: few enough that the lines they are
// writing stay in the first-level cache. 64 runs took half the time of 2048 on 24.7 M
// entries (the first distribution, on one thread, is most of the move), and then the
// more levels that follow run on all threads.
constexpr unsigned kFanOutBits = 6;
// How far ahead of a run's head its lines are fetched: hundreds of runs are more
// streams than the hardware follows on its own.
constexpr std::uint64_t kAhead = 16;

// Moves every entry of a piece (destinations base .. base + count - 1) to its place
// by way of scratch rows and values: each entry is written once where it goes, with no entry
// waiting on the one before, and the keys become one-based rows on the way.
void PlacePiece(double* keys, double* values, std::uint64_t count, std::uint64_t base, std::vector<double>& rows,
                std::vector<double>& scratch_values) {
  rows.resize(count);
  scratch_values.resize(count);
  for (std::uint64_t k = 0; k < count; ++k) {
    const std::uint64_t key = LoadKey(keys + k);
    const std::uint64_t to = KeyDestination(key) - base;
    rows[to] = static_cast<double>(KeyRow(key) + 1);
    scratch_values[to] = values[k];
  }
  std::copy(rows.begin(), rows.begin() + static_cast<std::ptrdiff_t>(count), keys);
  std::copy(scratch_values.begin(), scratch_values.begin() + static_cast<std::ptrdiff_t>(count), values);
}

// Spreads the entries (destinations base .. base + count - 1) into runs of 2^shift
// destinations each, in place. Sweeps over the slots not yet filled: the entry in a
// slot goes to the front of its own run's unfilled slots and takes the entry there
// in exchange, to be looked at in a later sweep. Each step fills one slot, and no
// step waits for the one before, so many cache misses are in flight at once.
// Returns the runs.
std::uint64_t Distribute(double* keys, double* values, std::uint64_t count, std::uint64_t base, unsigned shift) {
  const std::uint64_t runs = ((count - 1) >> shift) + 1;
  std::vector<std::uint64_t> heads(runs);
  std::vector<std::uint64_t> open(runs);
  for (std::uint64_t r = 0; r < runs; ++r) {
    heads[r] = r << shift;
    open[r] = r;
  }
  while (!open.empty()) {
    for (const std::uint64_t r : open) {
      const std::uint64_t end = std::min((r + 1) << shift, count);
      for (std::uint64_t at = heads[r]; at < end; ++at) {
        const std::uint64_t key = LoadKey(keys + at);
        const double value = values[at];
        const std::uint64_t to = heads[(KeyDestination(key) - base) >> shift]++;
        if (to + kAhead < count) {
          __builtin_prefetch(keys + to + kAhead, 1);
          __builtin_prefetch(values + to + kAhead, 1);
        }
        StoreKey(keys + at, LoadKey(keys + to));
        values[at] = values[to];
        StoreKey(keys + to, key);
        values[to] = value;
      }
    }
    std::erase_if(open, [&](std::uint64_t r) { return heads[r] == std::min((r + 1) << shift, count); });
  }
  return runs;
}

// The run size for `count` entries: pieces once small enough, else as many runs as
// one distribution writes at once.
unsigned RunShift(std::uint64_t count, unsigned piece_bits) {
  const auto bits = static_cast<unsigned>(std::bit_width(count - 1));
  return std::max(piece_bits, bits > kFanOutBits ? bits - kFanOutBits : 0u);
}

}  // namespace

void SpanPlacer::Place(double* keys, double* values, std::uint64_t count, std::uint64_t base) {
  if (count <= std::uint64_t{1} << piece_bits_) {
    PlacePiece(keys, values, count, base, rows_, values_);
    return;
  }
  const unsigned shift = RunShift(count, piece_bits_);
  const std::uint64_t runs = Distribute(keys, values, count, base, shift);
  for (std::uint64_t r = 0; r < runs; ++r) {
    const std::uint64_t from = r << shift;
    Place(keys + from, values + from, std::min(count - from, std::uint64_t{1} << shift), base + from);
  }
}

unsigned FirstRunBits(std::uint64_t count, unsigned piece_bits) {
  return count == 0 ? piece_bits : RunShift(count, piece_bits);
}

void PlaceWithinRuns(double* keys, double* values, std::uint64_t count, unsigned run_bits, unsigned threads,
                     unsigned piece_bits) {
  if (count == 0) return;
  const std::uint64_t runs = ((count - 1) >> run_bits) + 1;
  threads = static_cast<unsigned>(std::min<std::uint64_t>(support::ThreadCount(threads), runs));
  std::vector<SpanPlacer> placers(threads, SpanPlacer(piece_bits));
  support::ParallelFor(runs, {threads, {}}, [&](std::size_t r, unsigned worker) {
    const std::uint64_t from = std::uint64_t{r} << run_bits;
    placers[worker].Place(keys + from, values + from, std::min(count - from, std::uint64_t{1} << run_bits), from);
  });
}

void PlaceAtDestinations(double* keys, double* values, std::uint64_t count, unsigned threads, unsigned piece_bits) {
  // 2^15 entries (keys and values, 512 KB, and as much scratch) stay in a core's cache
  // while each goes straight to its place.
  if (count <= std::uint64_t{1} << piece_bits) {
    if (count > 0) SpanPlacer(piece_bits).Place(keys, values, count, 0);
    return;
  }
  // The first distribution walks all entries on one thread; its runs are then
  // independent, and go to the threads.
  const unsigned run_bits = RunShift(count, piece_bits);
  Distribute(keys, values, count, 0, run_bits);
  PlaceWithinRuns(keys, values, count, run_bits, threads, piece_bits);
}

}  // namespace tsneloss::core
