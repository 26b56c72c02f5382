#include "formats/npz_file.hpp"

#include <algorithm>
#include <exception>
#include <span>
#include <vector>

#include "core/input_error.hpp"
#include "core/input_rules.hpp"
#include "support/text.hpp"
#include "formats/npz_array.hpp"
#include "formats/zip_archive.hpp"
#include "support/parallel.hpp"

namespace tsneloss {
namespace {

// Chunks smaller than this are not worth a thread for their values.
constexpr std::size_t kBackgroundEntries = std::size_t{1} << 16;

enum class Layout { kCsr, kCsc, kCoo };

// One chunk of entries as read: the indices, in the archive's terms, and values.
struct Chunk {
  std::vector<std::int64_t> outer;
  std::vector<std::int64_t> inner;
  std::vector<double> values;
};

}  // namespace

struct NpzStream::State {
  std::string name;
  std::unique_ptr<ZipArchive> archive;
  Layout layout = Layout::kCoo;
  std::uint64_t n = 0;
  std::uint64_t entries = 0;  // data's length, checked against its member's size
  NpzChunking chunking;
};

NpzStream::NpzStream(InputSource& source, const EmbeddingShape& embedding, const NpzChunking& chunking)
    : state_(std::make_unique<State>()) {
  State& s = *state_;
  s.chunking = chunking;
  s.chunking.entries = std::max<std::size_t>(s.chunking.entries, 1);
  s.name = source.name();
  if (source.descriptor() < 0 || !source.stored_size()) {
    throw InputError(s.name, "a .npz archive cannot be read from standard input; give its path");
  }
  s.archive = std::make_unique<ZipArchive>(source.descriptor(), *source.stored_size(), s.name);
  NpzArray format_member(*s.archive, "format");
  const std::string format = format_member.ReadText();
  format_member.Finish();
  if (format == "csr") {
    s.layout = Layout::kCsr;
  } else if (format == "csc") {
    s.layout = Layout::kCsc;
  } else if (format == "coo") {
    s.layout = Layout::kCoo;
  } else {
    throw InputError(s.name, "the sparse format is " + support::Shown(format) + "; csr, csc or coo is needed");
  }
  NpzArray shape(*s.archive, "shape");
  std::vector<std::int64_t> extents;
  if (shape.count() != 2) throw InputError(s.name, "array 'shape' does not hold two extents");
  shape.ReadIndices(2, extents);
  shape.Finish();
  if (extents[0] < 0 || extents[1] < 0) throw InputError(s.name, "array 'shape' holds a negative extent");
  if (extents[0] != extents[1]) {
    throw InputError(s.name, "P must be square; it is " + std::to_string(extents[0]) + " by " + std::to_string(extents[1]));
  }
  s.n = static_cast<std::uint64_t>(extents[0]);
  CheckSizesAgree(s.n, s.name, embedding.points, embedding.dimension, embedding.name);
  s.entries = NpzArray(*s.archive, "data").count();
}

NpzStream::~NpzStream() = default;

std::uint64_t NpzStream::n() const { return state_->n; }

std::optional<std::uint64_t> NpzStream::EntryBound() const { return state_->entries; }

bool NpzStream::CountColumns(std::span<std::uint64_t> counts, unsigned threads) {
  const State& s = *state_;
  // csc comes column after column already.
  if (s.layout == Layout::kCsc || counts.size() != s.n) return false;
  NpzArray columns(*s.archive, s.layout == Layout::kCsr ? "indices" : "col");
  bool in_order = false;
  if (columns.count() != s.entries ||
      !columns.CountStoredIndices(counts, threads, s.chunking.parallel_count_from, in_order)) {
    return false;
  }
  // Entries that come column after column are placed as they come: counting gains nothing.
  return !in_order;
}

void NpzStream::ForEach(const std::function<void(const EntryBlock&)>& take) {
  const State& s = *state_;
  const bool compressed_rows = s.layout != Layout::kCoo;
  NpzArray data(*s.archive, "data");
  NpzArray first(*s.archive, compressed_rows ? "indices" : "row");
  std::unique_ptr<NpzArray> second;
  std::vector<std::int64_t> pointers;
  const std::uint64_t entries = data.count();
  if (compressed_rows) {
    NpzArray indptr(*s.archive, "indptr");
    if (indptr.count() != s.n + 1) {
      throw InputError(s.name, "array 'indptr' holds " + std::to_string(indptr.count()) + " elements, not N + 1 = " +
                                   std::to_string(s.n + 1));
    }
    indptr.ReadIndices(s.n + 1, pointers);
    indptr.Finish();
    if (pointers[0] != 0) throw InputError(s.name, "array 'indptr' starts at " + std::to_string(pointers[0]) + ", not 0");
    for (std::uint64_t k = 1; k <= s.n; ++k) {
      if (pointers[k] < pointers[k - 1]) {
        throw InputError::AtElement(s.name, k, "'indptr' decreases from " + std::to_string(pointers[k - 1]) + " to " +
                                                   std::to_string(pointers[k]));
      }
    }
    if (static_cast<std::uint64_t>(pointers[s.n]) != entries) {
      throw InputError(s.name, "array 'indptr' ends at " + std::to_string(pointers[s.n]) + ", but 'data' holds " +
                                   std::to_string(entries) + " values");
    }
  } else {
    second = std::make_unique<NpzArray>(*s.archive, "col");
  }
  for (const NpzArray* indices : {&first, second.get()}) {
    if (indices != nullptr && indices->count() != entries) {
      throw InputError(s.name, "array '" + indices->key() + "' holds " + std::to_string(indices->count()) +
                                   " elements, but 'data' holds " + std::to_string(entries));
    }
  }
  // A member's CRC-32 is checked with its last byte: a fault met before that may
  // come of corrupt data, which is then the fault to report.
  const auto finish_all = [&] {
    data.Finish();
    first.Finish();
    if (second) second->Finish();
  };
  // No entries: nothing to hand over, the packer says so once the members pass.
  if (entries == 0) finish_all();
  std::uint64_t outer_index = 0;
  // Reads and checks the chunk of entries from `start` on, throwing its first fault.
  const auto read_chunk = [&](std::uint64_t start, Chunk& chunk) {
    const auto count = static_cast<std::size_t>(std::min<std::uint64_t>(s.chunking.entries, entries - start));
    std::vector<std::int64_t>& outer = chunk.outer;
    std::vector<std::int64_t>& inner = chunk.inner;
    std::vector<double>& values = chunk.values;
    const auto read_values = [&] { data.ReadValues(count, values); };
    // Members are separate deflate streams: the values inflate beside the indices.
    support::Background values_read;
    if (count >= kBackgroundEntries) values_read = support::Background(read_values);
    std::exception_ptr indices_fault;
    try {
      first.ReadIndices(count, inner);
      if (second) {
        second->ReadIndices(count, outer);
      } else {
        // Compressed rows or columns: the outer index from indptr.
        outer.resize(count);
        for (std::size_t k = 0; k < count; ++k) {
          while (static_cast<std::uint64_t>(pointers[outer_index + 1]) <= start + k) ++outer_index;
          outer[k] = static_cast<std::int64_t>(outer_index);
        }
      }
    } catch (...) {
      indices_fault = std::current_exception();
    }
    // Both faults come out; the indices' first, as a reading one array at a time meets them.
    std::exception_ptr values_fault;
    try {
      if (values_read.running()) {
        values_read.Wait();
      } else {
        read_values();
      }
    } catch (...) {
      values_fault = std::current_exception();
    }
    if (indices_fault) std::rethrow_exception(indices_fault);
    if (values_fault) std::rethrow_exception(values_fault);
    if (start + count == entries) finish_all();
    // The indices array read first (row, or indices) is checked first.
    for (std::size_t k = 0; k < count; ++k) {
      const auto fault = FirstFault(inner[k], outer[k], values[k], s.n);
      if (fault == EntryPart::kNone) continue;
      finish_all();
      const std::uint64_t element = start + k;
      if (fault == EntryPart::kValue) throw InputError::AtElement(s.name, element, AffinityFault(values[k]));
      const bool first_array = fault == EntryPart::kRow;
      // indptr-derived outer indices are in range by construction.
      const std::int64_t index = first_array ? inner[k] : outer[k];
      throw InputError::AtElement(s.name, element, "'" + (first_array ? first.key() : std::string("col")) + "': " +
                                                       OutsideRange(std::to_string(index), s.n, false));
    }
  };
  // Chunk after chunk, each read while the one before is taken: the taker's work
  // (placing the entries) and the reading's go side by side. Faults still come in
  // the file's order: a chunk's, if any, once every entry before it is taken.
  Chunk chunks[2];
  if (entries > 0) read_chunk(0, chunks[0]);
  std::size_t ready = 0;
  for (std::uint64_t start = 0; start < entries; start += s.chunking.entries, ready ^= 1) {
    const std::uint64_t following = start + s.chunking.entries;
    support::Background next_read;
    if (following < entries) {
      next_read = support::Background([&, following, ready] { read_chunk(following, chunks[ready ^ 1]); });
    }
    const Chunk& chunk = chunks[ready];
    // csr: rows outer, columns inner; csc and coo (row, then col): the other way.
    if (s.layout == Layout::kCsr) {
      take(EntryBlock{chunk.outer, chunk.inner, chunk.values});
    } else {
      take(EntryBlock{chunk.inner, chunk.outer, chunk.values});
    }
    next_read.Wait();
  }
}

}  // namespace tsneloss
