#include "formats/npz_file.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <exception>
#include <limits>
#include <vector>

#include "core/input_error.hpp"
#include "core/input_rules.hpp"
#include "core/text.hpp"
#include "formats/npy_header.hpp"
#include "formats/zip_archive.hpp"
#include "threads/parallel.hpp"

namespace tsneloss {
namespace {

constexpr std::size_t kChunkEntries = std::size_t{1} << 20;
// Chunks smaller than this are not worth a thread for their values.
constexpr std::size_t kBackgroundEntries = std::size_t{1} << 16;

// One .npy array in the archive, read front to back in chunks.
class ArrayMember {
 public:
  ArrayMember(const ZipArchive& archive, const std::string& key) : key_(key), name_(archive.name()) {
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

}  // namespace

struct NpzStream::State {
  std::string name;
  std::unique_ptr<ZipArchive> archive;
  Layout layout = Layout::kCoo;
  std::uint64_t n = 0;
  std::uint64_t entries = 0;  // data's length, checked against its member's size
};

NpzStream::NpzStream(InputSource& source, const EmbeddingShape& embedding) : state_(std::make_unique<State>()) {
  State& s = *state_;
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
  std::vector<std::int64_t> outer;
  std::vector<std::int64_t> inner;
  std::vector<double> values;
  std::uint64_t outer_index = 0;
  for (std::uint64_t start = 0; start < entries; start += kChunkEntries) {
    const auto count = static_cast<std::size_t>(std::min<std::uint64_t>(kChunkEntries, entries - start));
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
    // csr: rows outer, columns inner; csc and coo (row, then col): the other way.
    if (s.layout == Layout::kCsr) {
      take(EntryBlock{outer, inner, values});
    } else {
      take(EntryBlock{inner, outer, values});
    }
  }
}

}  // namespace tsneloss
