// The header of a .npy array: a magic string, a version, a little-endian header
// length, then a Python dictionary literal naming dtype, order and shape. Shared by
// the embedding reader and the members of a .npz archive.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/input_error.hpp"

namespace tsneloss::formats {

// The longest dictionary read, as NumPy caps it: a longer one is no header NumPy
// writes, and would be set aside whole before it is read.
inline constexpr std::size_t kNpyHeaderLimit = 10000;

// Where a .npy header is read from, and how its faults are told there: a file names
// itself, an archive's member its array.
class NpyHeaderInput {
 public:
  virtual ~NpyHeaderInput() = default;
  // Up to `size` bytes into `out`; fewer only where the input ends.
  virtual std::size_t Read(char* out, std::size_t size) = 0;
  // The faults before the dictionary: no .npy magic, a version other than 1 to 3
  // (`major`), a header cut short.
  virtual core::InputError NotNpy() const = 0;
  virtual core::InputError UnsupportedVersion(int major) const = 0;
  virtual core::InputError Truncated() const = 0;
  // `what` said of the input ("has ...").
  virtual core::InputError Fault(const std::string& what) const = 0;
};

// Reads the magic string, version and length, then the dictionary (returned), leaving
// `input` at the array's data. Throws what `input` makes of a fault, and a dictionary
// longer than kNpyHeaderLimit is refused before it is read.
std::string ReadNpyHeader(NpyHeaderInput& input);

// The text of the value of `key` in the dictionary literal: a quoted string (quotes
// kept), a word such as True, or a parenthesised tuple. Throws InputError naming
// `path` when the key is missing.
std::string NpyHeaderValue(const std::string& header, const std::string& key, const std::string& path);

// The extents of a shape tuple such as "(N, D)", "(K,)" or "()"; nullopt when it is
// not a tuple of whole numbers.
std::optional<std::vector<std::uint64_t>> ParseNpyShape(const std::string& shape);

}  // namespace tsneloss::formats
