// Moving entries, in place, to places already chosen for them. Each entry's row slot
// holds its destination and row packed into one word (the bits of a uint64 kept in a
// double); destinations are all different, so the move needs no order among equal
// keys. Done as an in-place radix distribution on the destination's high bits, then
// piece by cache-sized piece through a piece of scratch per thread, so memory is
// walked in a bounded number of streams at a time rather than one random place per
// entry, and nothing the size of the entries is set aside.
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

namespace tsneloss::core {

// The size, as a power of two, of the pieces moved to their places through a core's
// cache: 2^15 entries (keys and values, 512 KB, and as much scratch).
inline constexpr unsigned kPieceBits = 15;

// A destination (below 2^32) and a zero-based row (below 2^32) as one word.
inline std::uint64_t DestinationKey(std::uint64_t destination, std::uint64_t row) { return destination << 32 | row; }
inline std::uint64_t KeyDestination(std::uint64_t key) { return key >> 32; }
inline std::uint64_t KeyRow(std::uint64_t key) { return key & 0xFFFFFFFF; }

// A key kept in, and read from, a double's slot, bit for bit (copied as bytes, so no
// pattern is ever taken for a number).
inline void StoreKey(double* slot, std::uint64_t key) { std::memcpy(slot, &key, sizeof key); }
inline std::uint64_t LoadKey(const double* slot) {
  std::uint64_t key;
  std::memcpy(&key, slot, sizeof key);
  return key;
}

// Moves entry k (keys[k], values[k]) to its destination for every k < count, where
// keys hold DestinationKeys whose destinations are exactly 0 .. count - 1, and leaves
// each row slot holding its one-based row as a double. Pieces go to `threads` threads;
// pieces of 2^piece_bits entries (tests take small ones to reach every level).
void PlaceAtDestinations(double* keys, double* values, std::uint64_t count, unsigned threads,
                         unsigned piece_bits = kPieceBits);

// The size, as a power of two, of the runs PlaceAtDestinations first spreads `count`
// entries into. A caller that spreads them so itself (while reading, say) then calls
// PlaceWithinRuns.
unsigned FirstRunBits(std::uint64_t count, unsigned piece_bits = kPieceBits);

// As PlaceAtDestinations, for entries already spread into runs: the entries of run r
// (places r * 2^run_bits onwards, 2^run_bits of them or what is left) are exactly
// those whose destinations lie in it.
void PlaceWithinRuns(double* keys, double* values, std::uint64_t count, unsigned run_bits, unsigned threads,
                     unsigned piece_bits = kPieceBits);

// Moves spans of entries to their places one span at a time, as PlaceAtDestinations
// does, through scratch kept from span to span: one placer a thread.
class SpanPlacer {
 public:
  explicit SpanPlacer(unsigned piece_bits = kPieceBits) : piece_bits_(piece_bits) {}

  // Moves the `count` entries from keys and values, whose destinations are exactly
  // base .. base + count - 1, to their places there.
  void Place(double* keys, double* values, std::uint64_t count, std::uint64_t base);

 private:
  unsigned piece_bits_;
  std::vector<double> rows_;
  std::vector<double> values_;
};

}  // namespace tsneloss::core
