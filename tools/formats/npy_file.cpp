// The .npy format: a magic string, a version, a little-endian header length, then a
// Python dictionary literal naming dtype, order and shape, then the raw data.
#include "formats/npy_file.hpp"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "core/input_error.hpp"
#include "core/input_rules.hpp"
#include "support/text.hpp"
#include "formats/npy_header.hpp"

namespace tsneloss {
namespace {

constexpr std::size_t kChunkBytes = std::size_t{1} << 20;  // a multiple of either element size
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
  return "the file holds " + std::to_string(bytes) + " bytes more than its shape " + support::Shown(shape) + " needs";
}

std::string Missing(const std::string& shape) {
  return "the file holds less data than its shape " + support::Shown(shape) + " needs";
}

}  // namespace

Embedding ReadNpyEmbedding(InputSource& source) {
  const std::string& path = source.name();
  char prefix[16];
  if (ReadFully(source, prefix, 10) < 10 || std::memcmp(prefix, "\x93NUMPY", 6) != 0) {
    throw InputError(path, "not a .npy file");
  }
  const int major = static_cast<unsigned char>(prefix[6]);
  const std::size_t prefix_bytes = NpyPrefixBytes(major);
  if (prefix_bytes == 0 || prefix_bytes > sizeof prefix) {
    throw InputError(path, "unsupported .npy version " + std::to_string(major));
  }
  if (ReadFully(source, prefix + 10, prefix_bytes - 10) < prefix_bytes - 10) {
    throw InputError(path, "the .npy header is truncated");
  }
  const std::size_t header_length = NpyHeaderLength(prefix, prefix_bytes);
  if (header_length > kLargestNpyHeaderBytes) {
    throw InputError(path, "the .npy header is " + std::to_string(header_length) + " bytes long, more than the " +
                               std::to_string(kLargestNpyHeaderBytes) + " NumPy reads");
  }
  std::string header(header_length, '\0');
  if (ReadFully(source, header.data(), header_length) < header_length) {
    throw InputError(path, "the .npy header is truncated");
  }

  const std::string descr = NpyHeaderValue(header, "descr", path);
  const bool is_double = descr == "'<f8'" || descr == "\"<f8\"";
  const bool is_single = descr == "'<f4'" || descr == "\"<f4\"";
  if (!is_double && !is_single) {
    throw InputError(path, "the array's dtype is " + support::Shown(descr) + "; little-endian float64 or float32 is needed");
  }
  const std::string order = NpyHeaderValue(header, "fortran_order", path);
  if (order != "False" && order != "True") {
    throw InputError(path, "fortran_order is " + support::Shown(order) + ", neither True nor False");
  }
  const bool fortran_order = order == "True";
  const std::string shape = NpyHeaderValue(header, "shape", path);
  const auto extents = ParseNpyShape(shape);
  if (!extents || extents->size() != 2) {
    throw InputError(path, "the array's shape is " + support::Shown(shape) + "; a 2-D shape (N, D) is needed");
  }
  Embedding embedding;
  embedding.n = (*extents)[0];
  embedding.d = (*extents)[1];
  // Before anything is allocated from the shape.
  CheckPointCount(embedding.n, embedding.d, false, path);
  const std::size_t element_size = is_double ? 8 : 4;
  if (embedding.n > UINT64_MAX / embedding.d || embedding.n * embedding.d > SIZE_MAX / 8) {
    throw InputError(path, "the array's shape " + support::Shown(shape) + " is too large");
  }
  const std::uint64_t count = embedding.n * embedding.d;
  const std::uint64_t data_bytes = count * element_size;
  const auto left = source.BytesLeft();
  if (left && *left < data_bytes) throw InputError(path, Missing(shape));
  if (left && *left > data_bytes) throw InputError(path, Extra(*left - data_bytes, shape));

  // As stored: point after point in C order, coordinate after coordinate in Fortran.
  std::vector<double> stored;
  stored.reserve(left ? count : std::min<std::uint64_t>(count, kFirstReservation));
  std::vector<char> chunk(std::min<std::uint64_t>(kChunkBytes, data_bytes));
  for (std::uint64_t have = 0; have < data_bytes;) {
    const std::size_t want = std::min<std::uint64_t>(chunk.size(), data_bytes - have);
    if (ReadFully(source, chunk.data(), want) < want) throw InputError(path, Missing(shape));
    const std::size_t values = want / element_size;
    const std::size_t at = stored.size();
    stored.resize(at + values);
    if (is_double) {
      std::memcpy(stored.data() + at, chunk.data(), want);
    } else {
      for (std::size_t k = 0; k < values; ++k) {
        float value;
        std::memcpy(&value, chunk.data() + 4 * k, 4);
        stored[at + k] = value;
      }
    }
    have += want;
  }
  if (const std::uint64_t extra = CountTheRest(source)) throw InputError(path, Extra(extra, shape));

  if (fortran_order) {
    embedding.coordinates.resize(count);
    for (std::uint64_t k = 0; k < count; ++k) {
      embedding.coordinates[(k % embedding.n) * embedding.d + k / embedding.n] = stored[k];
    }
  } else {
    embedding.coordinates = std::move(stored);
  }
  CheckCoordinates(embedding.coordinates, path);
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

}  // namespace tsneloss
