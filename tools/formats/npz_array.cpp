#include "formats/npz_array.hpp"

#include <algorithm>
#include <cstring>
#include <functional>
#include <limits>
#include <type_traits>
#include <utility>

#include "formats/npy_header.hpp"
#include "support/parallel.hpp"
#include "support/text.hpp"

namespace tsneloss::formats {
namespace {

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

// Counts the indices from..to - 1 of a stored member of `fd` whose data, of `kind` and
// `item_size` (4 or 8), lies from `position`.
template <typename Counter>
bool CountRange(int fd, const std::string& name, char kind, std::size_t item_size, std::uint64_t position,
                std::uint64_t from, std::uint64_t to, IndexCount<Counter>& count) {
  constexpr std::size_t kBlockItems = std::size_t{1} << 15;
  std::vector<char> block(kBlockItems * item_size);
  for (std::uint64_t done = from; done < to;) {
    const auto items = static_cast<std::size_t>(std::min<std::uint64_t>(kBlockItems, to - done));
    try {
      ReadArchiveBytes(fd, position + done * item_size, block.data(), items * item_size, name);
    } catch (const core::InputError&) {
      return false;
    }
    bool counted;
    if (kind == 'i') {
      counted = item_size == 4 ? count.template Add<std::int32_t>(block.data(), items)
                               : count.template Add<std::int64_t>(block.data(), items);
    } else {
      counted = item_size == 4 ? count.template Add<std::uint32_t>(block.data(), items)
                               : count.template Add<std::uint64_t>(block.data(), items);
    }
    if (!counted) return false;
    done += items;
  }
  return true;
}

// A member's .npy header, its faults named by the array.
class MemberHeaderInput final : public NpyHeaderInput {
 public:
  using Wording = std::function<core::InputError(const std::string& what)>;
  MemberHeaderInput(ZipMemberReader& reader, Wording fault) : reader_(reader), fault_(std::move(fault)) {}
  std::size_t Read(char* out, std::size_t size) override {
    const auto got = static_cast<std::size_t>(std::min<std::uint64_t>(size, reader_.left()));
    reader_.ReadExactly(out, got);
    return got;
  }
  core::InputError NotNpy() const override { return fault_("is not a .npy array"); }
  core::InputError UnsupportedVersion(int /*major*/) const override { return fault_("has an unsupported .npy version"); }
  core::InputError Truncated() const override { return fault_("has a truncated header"); }
  core::InputError Fault(const std::string& what) const override { return fault_(what); }

 private:
  ZipMemberReader& reader_;
  Wording fault_;
};

}  // namespace

NpzArray::NpzArray(const ZipArchive& archive, const std::string& key)
    : archive_(archive), key_(key), name_(archive.name()) {
  const auto found = archive.members().find(key + ".npy");
  if (found == archive.members().end()) throw core::InputError(name_, "the archive has no '" + key + "' array");
  reader_ = std::make_unique<ZipMemberReader>(archive, found->second);
  MemberHeaderInput input(*reader_, [this](const std::string& what) { return Fault(what); });
  const std::string header = ReadNpyHeader(input);
  std::string descr = NpyHeaderValue(header, "descr", name_);
  const std::string shown_descr = descr;
  if (descr.size() >= 2) descr = descr.substr(1, descr.size() - 2);  // the quotes
  if (descr.size() < 3 || (descr[0] != '<' && descr[0] != '|') || !ParseItemSize(descr.substr(2))) {
    throw Fault("has dtype " + support::Shown(shown_descr) + "; a little-endian number type is needed");
  }
  kind_ = descr[1];
  // A 'U' string's size counts UTF-32 characters, not bytes.
  if (kind_ == 'U') item_size_ *= 4;
  const auto shape = ParseNpyShape(NpyHeaderValue(header, "shape", name_));
  if (!shape || shape->size() > 1) throw Fault("is not one-dimensional");
  count_ = shape->empty() ? 1 : shape->front();
  if (count_ > reader_->left() / item_size_) throw Fault("holds less data than its shape needs");
}

void NpzArray::ReadIndices(std::size_t count, std::vector<std::int64_t>& out) {
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
      const bool fits = value <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
      out[k] = fits ? static_cast<std::int64_t>(value) : -1;
    }
  }
}

void NpzArray::ReadValues(std::size_t count, std::vector<double>& out) {
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

std::string NpzArray::ReadText() {
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

bool NpzArray::CountStoredIndices(std::span<std::uint64_t> counts, unsigned threads, std::uint64_t parallel_from,
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
  support::ParallelFor(parts, {static_cast<unsigned>(parts), {}}, [&](std::size_t part, unsigned) {
    const std::uint64_t from = items * part / parts;
    const std::uint64_t to = items * (part + 1) / parts;
    if (part == 0) {
      counted[part] = CountRange(archive_.fd(), name_, kind_, item_size_, *position, from, to, first_part);
      return;
    }
    part_counts[part - 1].assign(counts.size(), 0);
    other_parts[part - 1].counts = part_counts[part - 1];
    counted[part] =
        CountRange(archive_.fd(), name_, kind_, item_size_, *position, from, to, other_parts[part - 1]);
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

void NpzArray::CheckNumberSize() const {
  const bool fits = kind_ == 'f' ? item_size_ == 4 || item_size_ == 8
                                 : item_size_ == 1 || item_size_ == 2 || item_size_ == 4 || item_size_ == 8;
  if (!fits) throw Fault(kind_ == 'f' ? "holds values of a type other than float64, float32 or integer"
                                      : "has integers of an unsupported size");
}

bool NpzArray::ParseItemSize(const std::string& digits) {
  unsigned long long size = 0;
  for (const char c : digits) {
    if (c < '0' || c > '9' || size > 1000) return false;
    size = size * 10 + static_cast<unsigned>(c - '0');
  }
  item_size_ = static_cast<std::size_t>(size);
  return size > 0;
}

void NpzArray::ReadRaw(std::size_t count) {
  if (count > count_ - read_) throw Fault("holds fewer elements than needed");
  raw_.resize(count * item_size_);
  reader_->ReadExactly(raw_.data(), raw_.size());
  read_ += count;
}

std::int64_t NpzArray::ReadSigned(const char* at) const {
  switch (item_size_) {
    case 1: { std::int8_t v; std::memcpy(&v, at, 1); return v; }
    case 2: { std::int16_t v; std::memcpy(&v, at, 2); return v; }
    case 4: { std::int32_t v; std::memcpy(&v, at, 4); return v; }
    case 8: { std::int64_t v; std::memcpy(&v, at, 8); return v; }
    default: throw Fault("has integers of an unsupported size");
  }
}

std::uint64_t NpzArray::ReadUnsigned(const char* at) const {
  switch (item_size_) {
    case 1: { std::uint8_t v; std::memcpy(&v, at, 1); return v; }
    case 2: { std::uint16_t v; std::memcpy(&v, at, 2); return v; }
    case 4: { std::uint32_t v; std::memcpy(&v, at, 4); return v; }
    case 8: { std::uint64_t v; std::memcpy(&v, at, 8); return v; }
    default: throw Fault("has integers of an unsupported size");
  }
}

}  // namespace tsneloss::formats
