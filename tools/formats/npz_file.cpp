#include "formats/npz_file.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <exception>
#include <limits>
#include <span>
#include <type_traits>
#include <vector>

#include "core/input_error.hpp"
#include "core/input_rules.hpp"
#include "core/text.hpp"
#include "formats/npy_header.hpp"
#include "formats/zip_archive.hpp"
#include "threads/parallel.hpp"

namespace tsneloss {
namespace {

// Chunks smaller than this are not worth a thread for their values.
constexpr std::size_t kBackgroundEntries = std::size_t{1} << 16;

// Indices counted block by block, into counters of type Counter.
template <typename Counter>
struct IndexCount {
  std::span<Counter> counts;
  std::uint64_t first = 0;
  std::uint64_t last = 0;
  std::uint64_t seen = 0;
  std::uint64_t decreases = 0;

  // Adds the `items` indices of type Index at `bytes`; false at one outside counts.
  template <typename Index>
  bool Add(const char* bytes, std::size_t items) {
    const std::uint64_t n = counts.size();
    using Wide = std::conditional_t<std::is_signed_v<Index>, std::int64_t, std::uint64_t>;
    for (std::size_t k = 0; k < items; ++k) {
      Index value;
      std::memcpy(&value, bytes + k * sizeof value, sizeof value);
      // A negative index, widened and taken as unsigned, is out of range as well.
      const auto index = static_cast<std::uint64_t>(static_cast<Wide>(value));
      if (index >= n) return false;
      ++counts[index];
      if (seen++ == 0) first = index;
      decreases += index < last;
      last = index;
    }
    return true;
  }
};

// One .npy array in the archive, read front to back in chunks.
class ArrayMember {
 public:
  ArrayMember(const ZipArchive& archive, const std::string& key) : archive_(archive), key_(key), name_(archive.name()) {
    const auto found = archive.members().find(key + ".npy");
    if (found == archive.members().end()) throw InputError(name_, "the archive has no '" + key + "' array");
    reader_ = std::make_unique<ZipMemberReader>(archive, found->second);
    char prefix[12];
    reader_->ReadExactly(prefix, 10);
    if (std::memcmp(prefix, "\x93NUMPY", 6) != 0) throw Fault("is not a .npy array");
    const std::size_t prefix_bytes = NpyPrefixBytes(static_cast<unsigned char>(prefix[6]));
    if (prefix_bytes == 0) throw Fault("has an unsupported .npy version");
    if (prefix_bytes > 10) reader_->ReadExactly(prefix + 10, prefix_bytes - 10);
    const std::size_t header_bytes = NpyHeaderLength(prefix, prefix_bytes);
    if (header_bytes > kNpyHeaderLimit) {
      throw Fault("has a .npy header of " + std::to_string(header_bytes) + " bytes; at most " +
                  std::to_string(kNpyHeaderLimit) + " are read");
    }
    if (header_bytes > reader_->left()) throw Fault("has a truncated header");
    std::string header(header_bytes, '\0');
    reader_->ReadExactly(header.data(), header.size());
    std::string descr = NpyHeaderValue(header, "descr", name_);
    const std::string shown_descr = descr;
    if (descr.size() >= 2) descr = descr.substr(1, descr.size() - 2);  // the quotes
    if (descr.size() < 3 || (descr[0] != '<' && descr[0] != '|') || !ParseItemSize(descr.substr(2))) {
      throw Fault("has dtype " + Shown(shown_descr) + "; a little-endian number type is needed");
    }
    kind_ = descr[1];
    // A 'U' string's size counts UTF-32 characters, not bytes.
    if (kind_ == 'U') item_size_ *= 4;
    const auto shape = ParseNpyShape(NpyHeaderValue(header, "shape", name_));
    if (!shape || shape->size() > 1) throw Fault("is not one-dimensional");
    count_ = shape->empty() ? 1 : shape->front();
    if (count_ > reader_->left() / item_size_) throw Fault("holds less data than its shape needs");
  }

  std::uint64_t count() const { return count_; }
  const std::string& key() const { return key_; }
  // Reads what is left of the member, so that its CRC-32 is checked.
  void Finish() { reader_->Finish(); }

  // The next `count` elements as whole numbers; any that is no whole number in the
  // range of int64 comes out as -1.
  void ReadIndices(std::size_t count, std::vector<std::int64_t>& out) {
    if (kind_ != 'i' && kind_ != 'u') throw Fault("holds no integers");
    CheckNumberSize();
    ReadRaw(count);
    out.resize(count);
    for (std::size_t k = 0; k < count; ++k) {
      const char* at = raw_.data() + k * item_size_;
      if (kind_ == 'i') {
        out[k] = ReadSigned(at);
      } else {
        const std::uint64_t value = ReadUnsigned(at);
        out[k] = value > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()) ? -1
                                                                                                : static_cast<std::int64_t>(value);
      }
    }
  }

  // The next `count` elements as doubles (float64, float32 or integers).
  void ReadValues(std::size_t count, std::vector<double>& out) {
    if (kind_ != 'f' && kind_ != 'i' && kind_ != 'u') {
      throw Fault("holds values of a type other than float64, float32 or integer");
    }
    CheckNumberSize();
    ReadRaw(count);
    out.resize(count);
    for (std::size_t k = 0; k < count; ++k) {
      const char* at = raw_.data() + k * item_size_;
      if (kind_ == 'f' && item_size_ == 8) {
        std::memcpy(&out[k], at, 8);
      } else if (kind_ == 'f' && item_size_ == 4) {
        float value;
        std::memcpy(&value, at, 4);
        out[k] = value;
      } else if (kind_ == 'i') {
        out[k] = static_cast<double>(ReadSigned(at));
      } else if (kind_ == 'u') {
        out[k] = static_cast<double>(ReadUnsigned(at));
      } else {
        throw Fault("holds values of a type other than float64, float32 or integer");
      }
    }
  }

  // Adds one to counts[i] for each index i the member holds, on up to `threads`
  // threads, looking at a stored member's bytes without reading them (no CRC-32
  // check: whatever is counted is read again, and checked, when the entries are).
  // Returns false, counts then in any state, where it cannot count that way: a
  // deflated member, a type other than 4- or 8-byte integers, an index outside
  // 0 .. counts.size() - 1, or an unreadable file. `in_order` tells whether the
  // indices never decrease.
  bool CountStoredIndices(std::span<std::uint64_t> counts, unsigned threads, std::uint64_t parallel_from,
                          bool& in_order) const {
    const auto position = reader_->StoredPosition();
    if (!position || (kind_ != 'i' && kind_ != 'u') || (item_size_ != 4 && item_size_ != 8)) return false;
    const std::uint64_t items = count_ - read_;
    // Parts beyond the first count into 32 bits of their own, added in at the end.
    const std::size_t parts = items < parallel_from || items >= (std::uint64_t{1} << 32)
                                  ? 1
                                  : static_cast<std::size_t>(std::clamp<std::uint64_t>(threads, 1, items));
    IndexCount<std::uint64_t> first_part{counts};
    std::vector<std::vector<std::uint32_t>> part_counts(parts - 1);
    std::vector<IndexCount<std::uint32_t>> other_parts(parts - 1);
    std::vector<char> counted(parts, 0);
    threads::ParallelFor(parts, {static_cast<unsigned>(parts), {}}, [&](std::size_t part, unsigned) {
      const std::uint64_t from = items * part / parts;
      const std::uint64_t to = items * (part + 1) / parts;
      if (part == 0) {
        counted[part] = CountRange(*position, from, to, first_part);
        return;
      }
      part_counts[part - 1].assign(counts.size(), 0);
      other_parts[part - 1].counts = part_counts[part - 1];
      counted[part] = CountRange(*position, from, to, other_parts[part - 1]);
    });
    if (std::find(counted.begin(), counted.end(), 0) != counted.end()) return false;
    std::uint64_t decreases = first_part.decreases;
    std::uint64_t last = first_part.last;
    for (const auto& part : other_parts) {
      for (std::size_t j = 0; j < counts.size(); ++j) counts[j] += part.counts[j];
      decreases += part.decreases + (part.seen > 0 && part.first < last);
      if (part.seen > 0) last = part.last;
    }
    in_order = decreases == 0;
    return true;
  }

  // The single string of a 0-d array of bytes ('S') or UTF-32 ('U'), ASCII only.
  std::string ReadText() {
    if ((kind_ != 'S' && kind_ != 'U') || count_ != 1) throw Fault("is not a string");
    ReadRaw(1);
    std::string text;
    const std::size_t unit = kind_ == 'U' ? 4 : 1;
    for (std::size_t k = 0; k + unit <= item_size_; k += unit) {
      const char c = raw_[k];
      if (c == '\0') break;
      text += c;
    }
    return text;
  }

 private:
  InputError Fault(const std::string& what) const { return InputError(name_, "array '" + key_ + "' " + what); }

  // Before anything is set aside for a chunk: numbers take at most 8 bytes.
  void CheckNumberSize() const {
    const bool fits = kind_ == 'f' ? item_size_ == 4 || item_size_ == 8
                                   : item_size_ == 1 || item_size_ == 2 || item_size_ == 4 || item_size_ == 8;
    if (!fits) throw Fault(kind_ == 'f' ? "holds values of a type other than float64, float32 or integer"
                                        : "has integers of an unsupported size");
  }
  // Counts the indices from..to - 1 of a stored member whose data lies from `position`.
  template <typename Counter>
  bool CountRange(std::uint64_t position, std::uint64_t from, std::uint64_t to, IndexCount<Counter>& count) const {
    constexpr std::size_t kBlockItems = std::size_t{1} << 15;
    std::vector<char> block(kBlockItems * item_size_);
    for (std::uint64_t done = from; done < to;) {
      const auto items = static_cast<std::size_t>(std::min<std::uint64_t>(kBlockItems, to - done));
      try {
        ReadArchiveBytes(archive_.fd(), position + done * item_size_, block.data(), items * item_size_, name_);
      } catch (const InputError&) {
        return false;
      }
      const bool counted = kind_ == 'i' ? (item_size_ == 4 ? count.template Add<std::int32_t>(block.data(), items)
                                                            : count.template Add<std::int64_t>(block.data(), items))
                                         : (item_size_ == 4 ? count.template Add<std::uint32_t>(block.data(), items)
                                                            : count.template Add<std::uint64_t>(block.data(), items));
      if (!counted) return false;
      done += items;
    }
    return true;
  }
  bool ParseItemSize(const std::string& digits) {
    unsigned long long size = 0;
    for (const char c : digits) {
      if (c < '0' || c > '9' || size > 1000) return false;
      size = size * 10 + static_cast<unsigned>(c - '0');
    }
    item_size_ = static_cast<std::size_t>(size);
    return size > 0;
  }
  void ReadRaw(std::size_t count) {
    if (count > count_ - read_) throw Fault("holds fewer elements than needed");
    raw_.resize(count * item_size_);
    reader_->ReadExactly(raw_.data(), raw_.size());
    read_ += count;
  }
  std::int64_t ReadSigned(const char* at) const {
    switch (item_size_) {
      case 1: { std::int8_t v; std::memcpy(&v, at, 1); return v; }
      case 2: { std::int16_t v; std::memcpy(&v, at, 2); return v; }
      case 4: { std::int32_t v; std::memcpy(&v, at, 4); return v; }
      case 8: { std::int64_t v; std::memcpy(&v, at, 8); return v; }
      default: throw Fault("has integers of an unsupported size");
    }
  }
  std::uint64_t ReadUnsigned(const char* at) const {
    switch (item_size_) {
      case 1: { std::uint8_t v; std::memcpy(&v, at, 1); return v; }
      case 2: { std::uint16_t v; std::memcpy(&v, at, 2); return v; }
      case 4: { std::uint32_t v; std::memcpy(&v, at, 4); return v; }
      case 8: { std::uint64_t v; std::memcpy(&v, at, 8); return v; }
      default: throw Fault("has integers of an unsupported size");
    }
  }

  const ZipArchive& archive_;
  std::string key_;
  std::string name_;
  std::unique_ptr<ZipMemberReader> reader_;
  char kind_ = '\0';
  std::size_t item_size_ = 0;
  std::uint64_t count_ = 0;
  std::uint64_t read_ = 0;
  std::vector<char> raw_;
};

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
  ArrayMember format_member(*s.archive, "format");
  const std::string format = format_member.ReadText();
  format_member.Finish();
  if (format == "csr") {
    s.layout = Layout::kCsr;
  } else if (format == "csc") {
    s.layout = Layout::kCsc;
  } else if (format == "coo") {
    s.layout = Layout::kCoo;
  } else {
    throw InputError(s.name, "the sparse format is " + Shown(format) + "; csr, csc or coo is needed");
  }
  ArrayMember shape(*s.archive, "shape");
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
  s.entries = ArrayMember(*s.archive, "data").count();
}

NpzStream::~NpzStream() = default;

std::uint64_t NpzStream::n() const { return state_->n; }

std::optional<std::uint64_t> NpzStream::EntryBound() const { return state_->entries; }

bool NpzStream::CountColumns(std::span<std::uint64_t> counts, unsigned threads) {
  const State& s = *state_;
  // csc comes column after column already.
  if (s.layout == Layout::kCsc || counts.size() != s.n) return false;
  ArrayMember columns(*s.archive, s.layout == Layout::kCsr ? "indices" : "col");
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
  ArrayMember data(*s.archive, "data");
  ArrayMember first(*s.archive, compressed_rows ? "indices" : "row");
  std::unique_ptr<ArrayMember> second;
  std::vector<std::int64_t> pointers;
  const std::uint64_t entries = data.count();
  if (compressed_rows) {
    ArrayMember indptr(*s.archive, "indptr");
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
    second = std::make_unique<ArrayMember>(*s.archive, "col");
  }
  for (const ArrayMember* indices : {&first, second.get()}) {
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
    threads::Background values_read;
    if (count >= kBackgroundEntries) values_read = threads::Background(read_values);
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
    threads::Background next_read;
    if (following < entries) {
      next_read = threads::Background([&, following, ready] { read_chunk(following, chunks[ready ^ 1]); });
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
