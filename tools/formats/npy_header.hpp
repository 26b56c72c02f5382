// The header of a .npy array: a magic string, a version, a little-endian header
// length, then a Python dictionary literal naming dtype, order and shape. Shared by
// the embedding reader and the members of a .npz archive.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tsneloss {

// The longest dictionary read from an archive member, as NumPy caps it: a longer one
// is no header NumPy writes, and would be set aside whole before it is read.
inline constexpr std::size_t kNpyHeaderLimit = 10000;

// Bytes before the dictionary for a file whose version byte (the seventh) is `major`:
// 10 for version 1, 12 for versions 2 and 3; 0 for an unknown version.
std::size_t NpyPrefixBytes(int major);
// The dictionary's length from those first bytes.
std::size_t NpyHeaderLength(const char* prefix, std::size_t prefix_bytes);

// The text of the value of `key` in the dictionary literal: a quoted string (quotes
// kept), a word such as True, or a parenthesised tuple. Throws InputError naming
// `path` when the key is missing.
std::string NpyHeaderValue(const std::string& header, const std::string& key, const std::string& path);

// The extents of a shape tuple such as "(N, D)", "(K,)" or "()"; nullopt when it is
// not a tuple of whole numbers.
std::optional<std::vector<std::uint64_t>> ParseNpyShape(const std::string& shape);

}  // namespace tsneloss
