#include "formats/npz_chunk_reader.hpp"

#include <algorithm>
#include <exception>
#include <string>

#include "core/input_error.hpp"
#include "core/input_rules.hpp"
#include "support/parallel.hpp"
#include "support/text.hpp"

namespace tsneloss::formats {
namespace {

// Chunks smaller than this are not worth a thread for their values.
constexpr std::size_t kBackgroundEntries = std::size_t{1} << 16;

// indptr: N + 1 offsets from 0 to `entries`, never decreasing.
std::vector<std::int64_t> ReadIndexPointers(const ZipArchive& archive, std::uint64_t n, std::uint64_t entries) {
  const std::string& name = archive.name();
  NpzArray indptr(archive, "indptr");
  if (indptr.count() != n + 1) {
    throw core::InputError(name, "array 'indptr' holds " + std::to_string(indptr.count()) + " elements, not N + 1 = " +
                               std::to_string(n + 1));
  }
  std::vector<std::int64_t> pointers;
  indptr.ReadIndices(n + 1, pointers);
  indptr.Finish();
  if (pointers[0] != 0) throw core::InputError(name, "array 'indptr' starts at " + std::to_string(pointers[0]) + ", not 0");
  for (std::uint64_t k = 1; k <= n; ++k) {
    if (pointers[k] < pointers[k - 1]) {
      throw core::InputError::AtElement(name, k, "'indptr' decreases from " + std::to_string(pointers[k - 1]) + " to " +
                                               std::to_string(pointers[k]));
    }
  }
  if (static_cast<std::uint64_t>(pointers[n]) != entries) {
    throw core::InputError(name, "array 'indptr' ends at " + std::to_string(pointers[n]) + ", but 'data' holds " +
                               support::Counted(entries, "value"));
  }
  return pointers;
}

}  // namespace

NpzChunkReader::NpzChunkReader(const ZipArchive& archive, std::uint64_t n, bool compressed,
                               std::size_t chunk_entries)
    : name_(archive.name()),
      n_(n),
      chunk_entries_(chunk_entries),
      data_(archive, "data"),
      first_(archive, compressed ? "indices" : "row"),
      entries_(data_.count()) {
  if (compressed) {
    pointers_ = ReadIndexPointers(archive, n, entries_);
  } else {
    second_ = std::make_unique<NpzArray>(archive, "col");
  }
  for (const NpzArray* indices : {&first_, second_.get()}) {
    if (indices != nullptr && indices->count() != entries_) {
      throw core::InputError(name_, "array '" + indices->key() + "' holds " + std::to_string(indices->count()) +
                                  " elements, but 'data' holds " + std::to_string(entries_));
    }
  }
  // No entries: nothing to hand over, the packer says so once the members pass.
  if (entries_ == 0) FinishAll();
}

void NpzChunkReader::Read(std::uint64_t start, NpzChunk& chunk) {
  const auto count = static_cast<std::size_t>(std::min<std::uint64_t>(chunk_entries_, entries_ - start));
  const auto read_values = [&] { data_.ReadValues(count, chunk.values); };
  // Members are separate deflate streams: the values inflate beside the indices.
  support::Background values_read;
  if (count >= kBackgroundEntries) values_read = support::Background(read_values);
  std::exception_ptr indices_fault;
  try {
    ReadIndices(start, count, chunk);
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
  if (start + count == entries_) FinishAll();
  CheckEntries(start, chunk);
}

void NpzChunkReader::ReadIndices(std::uint64_t start, std::size_t count, NpzChunk& chunk) {
  first_.ReadIndices(count, chunk.inner);
  if (second_) {
    second_->ReadIndices(count, chunk.outer);
    return;
  }
  // Compressed rows or columns: the outer index from indptr.
  chunk.outer.resize(count);
  for (std::size_t k = 0; k < count; ++k) {
    while (static_cast<std::uint64_t>(pointers_[outer_index_ + 1]) <= start + k) ++outer_index_;
    chunk.outer[k] = static_cast<std::int64_t>(outer_index_);
  }
}

void NpzChunkReader::CheckEntries(std::uint64_t start, const NpzChunk& chunk) {
  for (std::size_t k = 0; k < chunk.values.size(); ++k) {
    const auto fault = core::FirstFault(chunk.inner[k], chunk.outer[k], chunk.values[k], n_);
    if (fault == core::EntryPart::kNone) continue;
    FinishAll();
    const std::uint64_t element = start + k;
    if (fault == core::EntryPart::kValue) throw core::InputError::AtElement(name_, element, core::AffinityFault(chunk.values[k]));
    const bool first_array = fault == core::EntryPart::kRow;
    // indptr-derived outer indices are in range by construction.
    const std::int64_t index = first_array ? chunk.inner[k] : chunk.outer[k];
    throw core::InputError::AtElement(name_, element, "'" + (first_array ? first_.key() : std::string("col")) + "': " +
                                                    core::OutsideRange(std::to_string(index), n_, false));
  }
}

void NpzChunkReader::FinishAll() {
  data_.Finish();
  first_.Finish();
  if (second_) second_->Finish();
}

}  // namespace tsneloss::formats
