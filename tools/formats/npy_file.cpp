// The .npy format: a magic string, a version, a little-endian header length, then a
// Python dictionary literal naming dtype, order and shape, then the raw data.
#include <algorithm>
#include <cstring>
#include <vector>

#include "core/input_error.hpp"
#include "core/input_rules.hpp"
#include "core/text.hpp"
#include "formats/embedding_file.hpp"
#include "formats/npy_header.hpp"
#include "formats/text_fields.hpp"

namespace tsneloss {

Embedding ReadNpyEmbedding(InputSource& source) {
  const std::string& path = source.name();
  std::string bytes;
  for (std::size_t got = 0;; got = bytes.size()) {
    bytes.resize(got + (std::size_t{1} << 20) + got / 2);
    const std::size_t more = source.Read(bytes.data() + got, bytes.size() - got);
    bytes.resize(got + more);
    if (more == 0) break;
  }
  if (bytes.size() < 10 || bytes.compare(0, 6, "\x93NUMPY") != 0) throw InputError(path, "not a .npy file");
  const int major = static_cast<unsigned char>(bytes[6]);
  const std::size_t prefix_bytes = NpyPrefixBytes(major);
  if (prefix_bytes == 0 || bytes.size() < prefix_bytes) {
    throw InputError(path, "unsupported .npy version " + std::to_string(major));
  }
  const std::size_t header_length = NpyHeaderLength(bytes.data(), prefix_bytes);
  const std::size_t data_start = prefix_bytes + header_length;
  if (data_start > bytes.size()) throw InputError(path, "the .npy header is truncated");
  const std::string header = bytes.substr(prefix_bytes, header_length);

  const std::string descr = NpyHeaderValue(header, "descr", path);
  const bool is_double = descr == "'<f8'" || descr == "\"<f8\"";
  const bool is_single = descr == "'<f4'" || descr == "\"<f4\"";
  if (!is_double && !is_single) {
    throw InputError(path, "the array's dtype is " + Shown(descr) + "; little-endian float64 or float32 is needed");
  }
  const std::string order = NpyHeaderValue(header, "fortran_order", path);
  if (order != "False" && order != "True") {
    throw InputError(path, "fortran_order is " + Shown(order) + ", neither True nor False");
  }
  const bool fortran_order = order == "True";
  const std::string shape = NpyHeaderValue(header, "shape", path);
  Embedding embedding;
  const auto extents = ParseNpyShape(shape);
  if (!extents || extents->size() != 2) {
    throw InputError(path, "the array's shape is " + Shown(shape) + "; a 2-D shape (N, D) is needed");
  }
  embedding.n = (*extents)[0];
  embedding.d = (*extents)[1];
  const std::size_t element_size = is_double ? 8 : 4;
  const std::size_t count = embedding.n * embedding.d;
  if (embedding.d != 0 && (count / embedding.d != embedding.n || count > (bytes.size() - data_start) / element_size)) {
    throw InputError(path, "the file holds less data than its shape " + Shown(shape) + " needs");
  }
  if (embedding.n == 0) throw InputError(path, "the array holds no points");
  embedding.coordinates.resize(count);
  const char* data = bytes.data() + data_start;
  for (std::size_t stored = 0; stored < count; ++stored) {
    // Fortran order stores coordinate after coordinate; the embedding is point after point.
    const std::size_t k = fortran_order ? (stored % embedding.n) * embedding.d + stored / embedding.n : stored;
    if (is_double) {
      std::memcpy(&embedding.coordinates[k], data + 8 * stored, 8);
    } else {
      float value;
      std::memcpy(&value, data + 4 * stored, 4);
      embedding.coordinates[k] = value;
    }
  }
  CheckCoordinates(embedding.coordinates, path);
  return embedding;
}

}  // namespace tsneloss
