#include "formats/npy_header.hpp"

#include <algorithm>
#include <cstring>

#include "core/input_error.hpp"
#include "formats/text_fields.hpp"

namespace tsneloss::formats {

namespace {

// Bytes before the dictionary for version `major`: the header length takes two bytes
// in version 1, four in versions 2 and 3 (a UTF-8 header); 0 for another version.
std::size_t PrefixBytes(int major) {
  if (major == 1) return 10;
  if (major == 2 || major == 3) return 12;
  return 0;
}

// The little-endian header length after the magic string and version.
std::size_t HeaderLength(const char* prefix, std::size_t prefix_bytes) {
  std::size_t length = 0;
  for (std::size_t k = 8; k < prefix_bytes; ++k) {
    length |= static_cast<std::size_t>(static_cast<unsigned char>(prefix[k])) << (8 * (k - 8));
  }
  return length;
}

}  // namespace

std::string ReadNpyHeader(NpyHeaderInput& input) {
  char prefix[12];
  if (input.Read(prefix, 10) < 10 || std::memcmp(prefix, "\x93NUMPY", 6) != 0) throw input.NotNpy();
  const int major = static_cast<unsigned char>(prefix[6]);
  const std::size_t prefix_bytes = PrefixBytes(major);
  if (prefix_bytes == 0) throw input.UnsupportedVersion(major);
  if (input.Read(prefix + 10, prefix_bytes - 10) < prefix_bytes - 10) throw input.Truncated();
  const std::size_t length = HeaderLength(prefix, prefix_bytes);
  if (length > kNpyHeaderLimit) {
    throw input.Fault("has a .npy header of " + std::to_string(length) + " bytes; at most " +
                      std::to_string(kNpyHeaderLimit) + " are read");
  }
  std::string header(length, '\0');
  if (input.Read(header.data(), length) < length) throw input.Truncated();
  return header;
}

std::string NpyHeaderValue(const std::string& header, const std::string& key, const std::string& path) {
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
  throw core::InputError(path, "the .npy header has no '" + key + "'");
}

std::optional<std::vector<std::uint64_t>> ParseNpyShape(const std::string& shape) {
  if (shape.size() < 2 || shape.front() != '(' || shape.back() != ')') return std::nullopt;
  const std::string inner = shape.substr(1, shape.size() - 2);
  std::vector<std::uint64_t> extents;
  std::size_t start = 0;
  while (start <= inner.size()) {
    const std::size_t comma = std::min(inner.find(',', start), inner.size());
    std::string part = inner.substr(start, comma - start);
    part.erase(0, part.find_first_not_of(" \t"));
    part.erase(part.find_last_not_of(" \t") + 1);
    if (!part.empty()) {
      unsigned long long extent;
      if (!ParseCount(part, extent)) return std::nullopt;
      extents.push_back(extent);
    } else if (comma < inner.size()) {
      return std::nullopt;  // "(,)" or "(1,,2)"
    }
    start = comma + 1;
  }
  return extents;
}

}  // namespace tsneloss::formats
