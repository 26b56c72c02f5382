// The .npy format: a magic string, a version, a little-endian header length, then a
// Python dictionary literal naming dtype, order and shape, then the raw data.
#include <algorithm>
#include <cstring>
#include <iterator>
#include <vector>

#include "embedding_file.hpp"
#include "input_error.hpp"
#include "shown_token.hpp"
#include "text_fields.hpp"
#include "value_rules.hpp"

namespace tsneloss {
namespace {

// The text of the value of `key` in the header's dictionary literal: a quoted string
// (quotes kept), a word such as True, or a parenthesised tuple.
std::string HeaderValue(const std::string& header, const std::string& key, const std::string& path) {
  for (const char quote : {'\'', '"'}) {
    const std::size_t at = header.find(quote + key + quote);
    if (at == std::string::npos) continue;
    std::size_t start = header.find_first_not_of(" \t", at + key.size() + 2);
    if (start == std::string::npos || header[start] != ':') break;
    start = header.find_first_not_of(" \t", start + 1);
    if (start == std::string::npos) break;
    const char open = header[start];
    const char close = open == '(' ? ')' : open == '\'' || open == '"' ? open : '\0';
    const std::size_t end =
        close != '\0' ? header.find(close, start + 1) : header.find_first_of(",} \t", start);
    if (end == std::string::npos) break;
    return header.substr(start, end - start + (close != '\0' ? 1 : 0));
  }
  throw InputError(path, "the .npy header has no '" + key + "'");
}

// "(N, D)" or "(N, D,)" with whole numbers; false otherwise.
bool ParseTwoExtents(const std::string& shape, std::uint64_t& first, std::uint64_t& second) {
  std::string inner = shape.size() >= 2 ? shape.substr(1, shape.size() - 2) : "";
  std::vector<std::string> parts;
  std::size_t start = 0;
  while (start <= inner.size()) {
    const std::size_t comma = std::min(inner.find(',', start), inner.size());
    std::string part = inner.substr(start, comma - start);
    part.erase(0, part.find_first_not_of(" \t"));
    part.erase(part.find_last_not_of(" \t") + 1);
    if (!part.empty()) parts.push_back(part);
    start = comma + 1;
  }
  unsigned long long extents[2];
  if (shape.empty() || shape.front() != '(' || parts.size() != 2) return false;
  for (int k = 0; k < 2; ++k) {
    if (!ParseCount(parts[k], extents[k])) return false;
  }
  first = extents[0];
  second = extents[1];
  return true;
}

}  // namespace

Embedding ReadNpyEmbedding(InputSource& source) {
  const std::string& path = source.name();
  const std::string bytes((std::istreambuf_iterator<char>(source.stream())), std::istreambuf_iterator<char>());
  if (source.stream().bad()) throw InputError(path, "read error");
  if (bytes.size() < 10 || bytes.compare(0, 6, "\x93NUMPY") != 0) throw InputError(path, "not a .npy file");
  // Version 1 gives the header length in two bytes; versions 2 and 3 (a UTF-8 header) in four.
  const int major = static_cast<unsigned char>(bytes[6]);
  const std::size_t length_size = major == 1 ? 2 : 4;
  if (major < 1 || major > 3 || bytes.size() < 8 + length_size) {
    throw InputError(path, "unsupported .npy version " + std::to_string(major));
  }
  std::size_t header_length = 0;
  for (std::size_t k = 0; k < length_size; ++k) {
    header_length |= static_cast<std::size_t>(static_cast<unsigned char>(bytes[8 + k])) << (8 * k);
  }
  const std::size_t data_start = 8 + length_size + header_length;
  if (data_start > bytes.size()) throw InputError(path, "the .npy header is truncated");
  const std::string header = bytes.substr(8 + length_size, header_length);

  const std::string descr = HeaderValue(header, "descr", path);
  const bool is_double = descr == "'<f8'" || descr == "\"<f8\"";
  const bool is_single = descr == "'<f4'" || descr == "\"<f4\"";
  if (!is_double && !is_single) {
    throw InputError(path, "the array's dtype is " + Shown(descr) + "; little-endian float64 or float32 is needed");
  }
  const std::string order = HeaderValue(header, "fortran_order", path);
  if (order != "False" && order != "True") {
    throw InputError(path, "fortran_order is " + Shown(order) + ", neither True nor False");
  }
  const bool fortran_order = order == "True";
  const std::string shape = HeaderValue(header, "shape", path);
  Embedding embedding;
  if (!ParseTwoExtents(shape, embedding.n, embedding.d)) {
    throw InputError(path, "the array's shape is " + Shown(shape) + "; a 2-D shape (N, D) is needed");
  }
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
