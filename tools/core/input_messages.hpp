// Messages more than one reader or packer gives, worded once. Each caller names the
// place (a file, a line and column, an array) in its own terms.
#pragma once

#include <cstdint>
#include <string>

namespace tsneloss {

// For P given as `rows` by `columns`, rows != columns.
inline std::string NotSquare(std::uint64_t rows, std::uint64_t columns) {
  return "P must be square; it is " + std::to_string(rows) + " by " + std::to_string(columns);
}

// For a file whose entries differ between two readings, or from what was counted.
inline const std::string kFileChanged = "the file changed while it was read";

}  // namespace tsneloss
