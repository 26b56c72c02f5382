#include "formats/npy_header.hpp"

#include <algorithm>

#include "core/input_error.hpp"
#include "formats/text_fields.hpp"

namespace tsneloss {

std::size_t NpyPrefixBytes(int major) {
  // Version 1 gives the header length in two bytes; versions 2 and 3 (a UTF-8 header) in four.
  if (major == 1) return 10;
  if (major == 2 || major == 3) return 12;
  return 0;
}

std::size_t NpyHeaderLength(const char* prefix, std::size_t prefix_bytes) {
  std::size_t length = 0;
  for (std::size_t k = 8; k < prefix_bytes; ++k) {
    length |= static_cast<std::size_t>(static_cast<unsigned char>(prefix[k])) << (8 * (k - 8));
  }
  return length;
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
  throw InputError(path, "the .npy header has no '" + key + "'");
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

}  // namespace tsneloss
