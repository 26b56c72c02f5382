// The .npy format: a magic string, a version, a little-endian header length, then a
// Python dictionary literal naming dtype, order and shape, then the raw data.
#include "formats/npy_file.hpp"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "core/input_error.hpp"
#include "core/input_rules.hpp"
#include "formats/npy_elements.hpp"
#include "formats/npy_header.hpp"
#include "support/text.hpp"

namespace tsneloss::formats {
namespace {

constexpr std::size_t kChunkBytes = std::size_t{1} << 20;  // a multiple of every element size
// Where the data's length cannot be checked first (compressed, or a pipe), room
// for this many values at first; more only as data arrive.
constexpr std::size_t kFirstReservation = std::size_t{1} << 17;

// Up to `size` bytes: fewer only at the end of the file.
std::size_t ReadFully(InputSource& source, char* out, std::size_t size) {
  std::size_t got = 0;
  while (got < size) {
    const std::size_t more = source.Read(out + got, size - got);
    if (more == 0) break;
    got += more;
  }
  return got;
}

// The bytes left, read to the end (a compressed file is then checked to its end).
std::uint64_t CountTheRest(InputSource& source) {
  char sink[4096];
  std::uint64_t count = 0;
  while (const std::size_t more = source.Read(sink, sizeof sink)) count += more;
  return count;
}

std::string Extra(std::uint64_t bytes, const std::string& shape) {
  return "the file holds " + support::Counted(bytes, "byte") + " more than its shape " + support::Shown(shape) + " needs";
}

std::string Missing(const std::string& shape) {
  return "the file holds less data than its shape " + support::Shown(shape) + " needs";
}

// A .npy file's header, its faults named by the file.
class FileHeaderInput final : public NpyHeaderInput {
 public:
  explicit FileHeaderInput(InputSource& source) : source_(source) {}
  std::size_t Read(char* out, std::size_t size) override { return ReadFully(source_, out, size); }
  core::InputError NotNpy() const override { return core::InputError(source_.name(), "not a .npy file"); }
  core::InputError UnsupportedVersion(int major) const override {
    return core::InputError(source_.name(), "unsupported .npy version " + std::to_string(major));
  }
  core::InputError Truncated() const override { return core::InputError(source_.name(), "the .npy header is truncated"); }
  core::InputError Fault(const std::string& what) const override { return core::InputError(source_.name(), "the file " + what); }

 private:
  InputSource& source_;
};

// What the header says of the array.
struct NpyLayout {
  NpyElement element;
  bool fortran_order = false;
  std::string shape;  // as written, for messages
  std::uint64_t n = 0;
  std::uint64_t d = 0;

  std::uint64_t count() const { return n * d; }
  std::uint64_t data_bytes() const { return count() * element.size; }
};

NpyLayout ReadLayout(InputSource& source) {
  const std::string& path = source.name();
  FileHeaderInput input(source);
  const std::string header = ReadNpyHeader(input);
  NpyLayout layout;
  layout.element = ParseNpyElement(NpyHeaderValue(header, "descr", path), path);
  const std::string order = NpyHeaderValue(header, "fortran_order", path);
  if (order != "False" && order != "True") {
    throw core::InputError(path, "fortran_order is " + support::Shown(order) + ", neither True nor False");
  }
  layout.fortran_order = order == "True";
  layout.shape = NpyHeaderValue(header, "shape", path);
  const auto extents = ParseNpyShape(layout.shape);
  if (!extents || extents->size() != 2) {
    throw core::InputError(path, "the array's shape is " + support::Shown(layout.shape) + "; a 2-D shape (N, D) is needed");
  }
  layout.n = (*extents)[0];
  layout.d = (*extents)[1];
  return layout;
}

// Before anything is allocated from the shape: its rules, and the bytes the file has
// left where it can tell.
void CheckDataSize(InputSource& source, const NpyLayout& layout, core::PointsRole role) {
  const std::string& path = source.name();
  // Z is checked once the values are in: only the sizes that allocate nothing here.
  core::CheckPointCount(layout.n, layout.d, role == core::PointsRole::kData ? role : core::PointsRole::kEmbedding, path);
  if (layout.n > UINT64_MAX / layout.d || layout.n * layout.d > SIZE_MAX / 16) {
    throw core::InputError(path, "the array's shape " + support::Shown(layout.shape) + " is too large");
  }
  const auto left = source.BytesLeft();
  if (left && *left < layout.data_bytes()) throw core::InputError(path, Missing(layout.shape));
  if (left && *left > layout.data_bytes()) throw core::InputError(path, Extra(*left - layout.data_bytes(), layout.shape));
}

// The values as stored, widened to double; the file must end with them.
std::vector<double> ReadStored(InputSource& source, const NpyLayout& layout) {
  const std::uint64_t data_bytes = layout.data_bytes();
  std::vector<double> stored;
  stored.reserve(source.BytesLeft() ? layout.count() : std::min<std::uint64_t>(layout.count(), kFirstReservation));
  std::vector<char> chunk(std::min<std::uint64_t>(kChunkBytes, data_bytes));
  for (std::uint64_t have = 0; have < data_bytes;) {
    const std::size_t want = std::min<std::uint64_t>(chunk.size(), data_bytes - have);
    if (ReadFully(source, chunk.data(), want) < want) throw core::InputError(source.name(), Missing(layout.shape));
    const std::size_t values = want / layout.element.size;
    const std::size_t at = stored.size();
    stored.resize(at + values);
    if (layout.element.IsNativeDouble()) {
      std::memcpy(stored.data() + at, chunk.data(), want);
    } else {
      WidenNpyElements(layout.element, chunk.data(), values, stored.data() + at);
    }
    have += want;
  }
  if (const std::uint64_t extra = CountTheRest(source)) throw core::InputError(source.name(), Extra(extra, layout.shape));
  return stored;
}

// Fortran order stores coordinate after coordinate: turned point after point.
std::vector<double> PointAfterPoint(const std::vector<double>& stored, std::uint64_t n, std::uint64_t d) {
  std::vector<double> coordinates(stored.size());
  for (std::uint64_t k = 0; k < stored.size(); ++k) coordinates[(k % n) * d + k / n] = stored[k];
  return coordinates;
}

}  // namespace

core::Embedding ReadNpyEmbedding(InputSource& source, core::PointsRole role) {
  const NpyLayout layout = ReadLayout(source);
  CheckDataSize(source, layout, role);
  std::vector<double> stored = ReadStored(source, layout);
  core::Embedding embedding;
  embedding.n = layout.n;
  embedding.d = layout.d;
  embedding.coordinates = layout.fortran_order ? PointAfterPoint(stored, layout.n, layout.d) : std::move(stored);
  core::CheckCoordinates(embedding.coordinates, source.name());
  return embedding;
}

std::string NpyPreamble(const std::string& descr, const std::string& shape) {
  std::string header = "{'descr': '" + descr + "', 'fortran_order': False, 'shape': " + shape + ", }";
  while ((10 + header.size() + 1) % 64 != 0) header += ' ';
  header += '\n';
  const char prefix[10] = {'\x93', 'N', 'U', 'M', 'P', 'Y', 1, 0, static_cast<char>(header.size() & 0xFF),
                           static_cast<char>(header.size() >> 8)};
  return std::string(prefix, sizeof prefix) + header;
}

void WriteNpy(std::ostream& out, std::span<const double> values, bool single) {
  out << NpyPreamble(single ? "<f4" : "<f8", "(" + std::to_string(values.size()) + ",)");
  if (single) {
    const std::vector<float> narrowed(values.begin(), values.end());
    out.write(reinterpret_cast<const char*>(narrowed.data()), static_cast<std::streamsize>(narrowed.size() * sizeof(float)));
  } else {
    out.write(reinterpret_cast<const char*>(values.data()), static_cast<std::streamsize>(values.size() * sizeof(double)));
  }
}

}  // namespace tsneloss::formats
