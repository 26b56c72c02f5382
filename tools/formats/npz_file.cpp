#include "formats/npz_file.hpp"

#include <algorithm>
#include <span>
#include <vector>

#include "core/input_error.hpp"
#include "core/input_messages.hpp"
#include "core/input_rules.hpp"
#include "formats/npz_array.hpp"
#include "formats/npz_chunk_reader.hpp"
#include "formats/zip_archive.hpp"
#include "support/parallel.hpp"
#include "support/text.hpp"

namespace tsneloss::formats {
namespace {

enum class Layout { kCsr, kCsc, kCoo };

}  // namespace

struct NpzStream::State {
  std::string name;
  std::unique_ptr<ZipArchive> archive;
  Layout layout = Layout::kCoo;
  std::uint64_t n = 0;
  std::uint64_t entries = 0;  // data's length, checked against its member's size
  NpzChunking chunking;
};

NpzStream::NpzStream(InputSource& source, const core::EmbeddingShape& embedding, const NpzChunking& chunking)
    : state_(std::make_unique<State>()) {
  State& s = *state_;
  s.chunking = chunking;
  s.chunking.entries = std::max<std::size_t>(s.chunking.entries, 1);
  s.name = source.name();
  if (source.descriptor() < 0 || !source.stored_size()) {
    throw core::InputError(s.name, "a .npz archive cannot be read from standard input; give its path");
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
    throw core::InputError(s.name, "the sparse format is " + support::Shown(format) + "; csr, csc or coo is needed");
  }
  NpzArray shape(*s.archive, "shape");
  std::vector<std::int64_t> extents;
  if (shape.count() != 2) throw core::InputError(s.name, "array 'shape' does not hold two extents");
  shape.ReadIndices(2, extents);
  shape.Finish();
  if (extents[0] < 0 || extents[1] < 0) throw core::InputError(s.name, "array 'shape' holds a negative extent");
  if (extents[0] != extents[1]) {
    throw core::InputError(s.name, core::NotSquare(static_cast<std::uint64_t>(extents[0]), static_cast<std::uint64_t>(extents[1])));
  }
  s.n = static_cast<std::uint64_t>(extents[0]);
  core::CheckSizesAgree(s.n, s.name, embedding.points, embedding.dimension, embedding.name);
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

void NpzStream::ForEach(const std::function<void(const core::EntryBlock&)>& take) {
  const State& s = *state_;
  NpzChunkReader reader(*s.archive, s.n, s.layout != Layout::kCoo, s.chunking.entries);
  const std::uint64_t entries = reader.entries();
  // Chunk after chunk, each read while the one before is taken: the taker's work
  // (placing the entries) and the reading's go side by side. Faults still come in
  // the file's order: a chunk's, if any, once every entry before it is taken.
  NpzChunk chunks[2];
  if (entries > 0) reader.Read(0, chunks[0]);
  std::size_t ready = 0;
  for (std::uint64_t start = 0; start < entries; start += s.chunking.entries, ready ^= 1) {
    const std::uint64_t following = start + s.chunking.entries;
    support::Background next_read;
    if (following < entries) {
      next_read = support::Background([&, following, ready] { reader.Read(following, chunks[ready ^ 1]); });
    }
    const NpzChunk& chunk = chunks[ready];
    // csr: rows outer, columns inner; csc and coo (row, then col): the other way.
    if (s.layout == Layout::kCsr) {
      take(core::EntryBlock{chunk.outer, chunk.inner, chunk.values});
    } else {
      take(core::EntryBlock{chunk.inner, chunk.outer, chunk.values});
    }
    next_read.Wait();
  }
}

}  // namespace tsneloss::formats
