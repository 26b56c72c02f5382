// Entries that come row after row, columns rising within each row (canonical CSR, or
// triplets so sorted), packed with no sorting and no merging: each column receives its
// rows rising, and no position twice. The entries are first spread by band of columns
// (about 2^17 entries a band), each part at slots of its own within its band's
// places, in the order given. Then each band on its own counts its columns, gives
// every entry its place and moves it there, through scratch in the cache. No step
// looks entries up in a table of N columns: at a million columns such a table is out
// of cache, and looking up every entry's column in it took longer than all the rest.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "core/destination_sort.hpp"
#include "core/entry_packing.hpp"

namespace tsneloss::core {

// The mean band's entries, as a power of two, at most: few enough bands that their
// waiting lines stay in a core's cache while spreading.
inline constexpr unsigned kBandEntriesBits = 17;
// Bands of up to 2^kBandScratchBits entries move through scratch of their size (8 MB a
// thread at most); larger ones, piece by piece.
inline constexpr unsigned kBandScratchBits = 19;

// A band's columns, as a power of two, at most: each column's next place in a band
// takes 8 bytes a thread (8 MB), however few the entries.
inline constexpr unsigned kMostBandBits = 20;

// The columns in a band, as a power of two, for `entries` over N columns: the mean
// band holds at most 2^kBandEntriesBits entries, and more than half as many, unless
// that would take more than 2^kMostBandBits columns.
unsigned BandBits(std::uint64_t n, std::uint64_t entries);

// The bands N columns make, 2^band_bits each.
inline std::uint64_t BandCount(std::uint64_t n, unsigned band_bits) {
  return n == 0 ? 0 : ((n - 1) >> band_bits) + 1;
}

// Each part's next slot in every band, from each part's entries per band: the bands'
// places in column order, and within a band the parts' slots in part order.
class BandSlots {
 public:
  // `counts[p][b]`: part p's entries in band b.
  explicit BandSlots(const std::vector<std::vector<std::uint32_t>>& counts);

  // Part p's next slot in each band.
  std::vector<std::uint64_t>& heads(unsigned part) { return heads_[part]; }
  // Where each band's places begin, and after the last, where they end.
  const std::vector<std::uint64_t>& begins() const { return begins_; }

 private:
  std::vector<std::vector<std::uint64_t>> heads_;
  std::vector<std::uint64_t> begins_;
};

// One part's entries spread to their bands: each written as the key of its column
// and row, at the part's next slot in its band. Hundreds of bands are hundreds of
// places written at once, more than the cache follows: entries wait in eight lines'
// worth of slots per band, and full lines go out whole, past the cache (they are not
// read again soon, a line written whole need not be read first, and memory takes
// longer runs faster). At 9 x 10^7 entries this took the spreading from 0.8 to 0.35
// CPU seconds against one store per entry.
class BandSpreader {
 public:
  // `heads`: the part's first slot in each band.
  BandSpreader(std::vector<std::uint64_t> heads, unsigned band_bits, const ColumnArrays& arrays);

  void Add(std::uint64_t row, std::uint64_t column, double value) {
    const std::uint64_t band = column >> band_bits_;
    const std::uint64_t slot = heads_[band]++;
    const std::uint64_t at = (slot + shift_) & (kWaitingSlots - 1);
    Waiting& waiting = waiting_[band];
    waiting.keys[at] = DestinationKey(column, row);
    waiting.values[at] = value;
    if (at == kWaitingSlots - 1) Flush(band, slot + 1);
  }

  // Writes out every band's waiting entries.
  void Finish();

 private:
  static constexpr std::uint64_t kLineSlots = 8;      // slots in a 64-byte line
  static constexpr std::uint64_t kWaitingSlots = 64;  // slots waiting in each band

  // Writes out the band's entries waiting for slots up to `end`.
  void Flush(std::uint64_t band, std::uint64_t end);

  // A band's entries waiting to go out, keys and values side by side.
  struct alignas(64) Waiting {
    std::uint64_t keys[kWaitingSlots];
    double values[kWaitingSlots];
  };

  std::vector<std::uint64_t> heads_;
  std::vector<std::uint64_t> waiting_from_;
  std::vector<Waiting> waiting_;
  unsigned band_bits_;
  double* rows_;
  double* values_out_;
  std::uint64_t shift_;   // slot + shift_ is a multiple of kLineSlots where a line begins
  bool whole_lines_;      // rows and values lines begin at the same slots
};

// Moves every band's entries (spread by SpreadToBand, bands beginning at `begins`)
// to their places, on `threads` threads, and writes every column's count.
void PlaceBands(std::uint64_t n, unsigned band_bits, const std::vector<std::uint64_t>& begins,
                const ColumnArrays& arrays, unsigned threads);

}  // namespace tsneloss::core
