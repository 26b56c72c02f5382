#include "core/band_packing.hpp"

#include <algorithm>
#include <bit>
#include <cstdlib>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "support/parallel.hpp"

namespace tsneloss::core {
namespace {

// Room for one band's rows and values on their way to their places, and its
// columns' next places: one a thread, kept from band to band.
struct BandScratch {
  std::vector<double> rows;
  std::vector<double> values;
  std::vector<std::uint64_t> next;
  SpanPlacer placer;
};

// Counts the band's columns, writes their counts, and leaves each column's first
// place in `next`.
void CountColumns(std::uint64_t first_column, std::uint64_t columns, std::uint64_t begin, std::uint64_t end,
                  const ColumnArrays& arrays, std::vector<std::uint64_t>& next) {
  next.assign(columns, 0);
  for (std::uint64_t k = begin; k < end; ++k) ++next[KeyDestination(LoadKey(arrays.row_indices + k)) - first_column];
  std::uint64_t place = begin;
  for (std::uint64_t c = 0; c < columns; ++c) {
    arrays.column_counts[first_column + c] = static_cast<double>(next[c]);
    const std::uint64_t count = next[c];
    next[c] = place;
    place += count;
  }
}

// A band of at most 2^kBandScratchBits entries: each goes to its column's next place
// in scratch, as a one-based row, and the band is copied back whole.
void PlaceSmallBand(std::uint64_t first_column, std::uint64_t begin, std::uint64_t end, const ColumnArrays& arrays,
                    BandScratch& scratch) {
  const std::uint64_t count = end - begin;
  scratch.rows.resize(count);
  scratch.values.resize(count);
  std::uint64_t* const next = scratch.next.data();
  for (std::uint64_t k = begin; k < end; ++k) {
    const std::uint64_t key = LoadKey(arrays.row_indices + k);
    const std::uint64_t to = next[KeyDestination(key) - first_column]++ - begin;
    scratch.rows[to] = static_cast<double>(KeyRow(key) + 1);
    scratch.values[to] = arrays.values[k];
  }
  std::copy(scratch.rows.begin(), scratch.rows.begin() + static_cast<std::ptrdiff_t>(count),
            arrays.row_indices + begin);
  std::copy(scratch.values.begin(), scratch.values.begin() + static_cast<std::ptrdiff_t>(count),
            arrays.values + begin);
}

// A larger band (one column given many entries, say): keys turned into places, then
// moved there piece by piece with no scratch the band's size.
void PlaceLargeBand(std::uint64_t first_column, std::uint64_t begin, std::uint64_t end, const ColumnArrays& arrays,
                    BandScratch& scratch) {
  for (std::uint64_t k = begin; k < end; ++k) {
    const std::uint64_t key = LoadKey(arrays.row_indices + k);
    StoreKey(arrays.row_indices + k, DestinationKey(scratch.next[KeyDestination(key) - first_column]++, KeyRow(key)));
  }
  scratch.placer.Place(arrays.row_indices + begin, arrays.values + begin, end - begin, begin);
}

// The 64-byte line at `to` written whole from `from`, past the cache where the
// machine can.
void WriteLine(double* to, const void* from) {
#if defined(__SSE2__)
  auto* line = reinterpret_cast<__m128i*>(to);
  const auto* source = static_cast<const unsigned char*>(from);
  for (int q = 0; q < 4; ++q) {
    _mm_stream_si128(line + q, _mm_loadu_si128(reinterpret_cast<const __m128i*>(source + 16 * q)));
  }
#else
  std::memcpy(to, from, 64);
#endif
}

// Slots from the start of the 64-byte line holding `at`.
std::uint64_t LineOffset(const double* at) { return (reinterpret_cast<std::uintptr_t>(at) & 63) / sizeof(double); }

}  // namespace

BandSpreader::BandSpreader(std::vector<std::uint64_t> heads, unsigned band_bits, const ColumnArrays& arrays)
    : heads_(std::move(heads)),
      waiting_from_(heads_),
      waiting_(heads_.size()),
      band_bits_(band_bits),
      rows_(arrays.row_indices),
      values_out_(arrays.values),
      shift_(LineOffset(arrays.row_indices)),
      whole_lines_(LineOffset(arrays.row_indices) == LineOffset(arrays.values) &&
                   reinterpret_cast<std::uintptr_t>(arrays.row_indices) % sizeof(double) == 0 &&
                   reinterpret_cast<std::uintptr_t>(arrays.values) % sizeof(double) == 0) {}

void BandSpreader::Flush(std::uint64_t band, std::uint64_t end) {
  const std::uint64_t from = waiting_from_[band];
  waiting_from_[band] = end;
  if (whole_lines_ && end - from == kWaitingSlots) {
    for (std::uint64_t line = 0; line < kWaitingSlots; line += kLineSlots) {
      WriteLine(rows_ + from + line, waiting_[band].keys + line);
      WriteLine(values_out_ + from + line, waiting_[band].values + line);
    }
    return;
  }
  for (std::uint64_t slot = from; slot < end; ++slot) {
    const std::uint64_t at = (slot + shift_) & (kWaitingSlots - 1);
    StoreKey(rows_ + slot, waiting_[band].keys[at]);
    values_out_[slot] = waiting_[band].values[at];
  }
}

void BandSpreader::Finish() {
  for (std::uint64_t band = 0; band < heads_.size(); ++band) Flush(band, heads_[band]);
#if defined(__SSE2__)
  _mm_sfence();  // lines written past the cache are seen by other threads from here on
#endif
}

unsigned BandBits(std::uint64_t n, std::uint64_t entries) {
  const std::uint64_t columns = (n << kBandEntriesBits) / std::max<std::uint64_t>(entries, 1);
  return std::min(kMostBandBits, static_cast<unsigned>(std::bit_width(std::max<std::uint64_t>(columns, 1))) - 1);
}

BandSlots::BandSlots(const std::vector<std::vector<std::uint32_t>>& counts) : heads_(counts.size()) {
  const std::size_t bands = counts.empty() ? 0 : counts.front().size();
  begins_.assign(bands + 1, 0);
  for (auto& heads : heads_) heads.assign(bands, 0);
  std::uint64_t slot = 0;
  for (std::size_t b = 0; b < bands; ++b) {
    begins_[b] = slot;
    for (std::size_t p = 0; p < counts.size(); ++p) {
      heads_[p][b] = slot;
      slot += counts[p][b];
    }
  }
  begins_[bands] = slot;
}

void PlaceBands(std::uint64_t n, unsigned band_bits, const std::vector<std::uint64_t>& begins,
                const ColumnArrays& arrays, unsigned threads) {
  const std::uint64_t bands = BandCount(n, band_bits);
  threads = static_cast<unsigned>(
      std::clamp<std::uint64_t>(support::ThreadCount(threads), 1, std::max<std::uint64_t>(bands, 1)));
  std::vector<BandScratch> scratch(threads);
  support::ParallelFor(bands, {threads, {}}, [&](std::size_t b, unsigned worker) {
    const std::uint64_t first_column = std::uint64_t{b} << band_bits;
    const std::uint64_t begin = begins[b];
    const std::uint64_t end = begins[b + 1];
    CountColumns(first_column, std::min(n - first_column, std::uint64_t{1} << band_bits), begin, end, arrays,
                 scratch[worker].next);
    if (end - begin <= std::uint64_t{1} << kBandScratchBits) {
      PlaceSmallBand(first_column, begin, end, arrays, scratch[worker]);
    } else {
      PlaceLargeBand(first_column, begin, end, arrays, scratch[worker]);
    }
  });
}

}  // namespace tsneloss::core
