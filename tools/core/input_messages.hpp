// Messages more than one reader or packer gives, worded once. Each caller names the
// place (a file, a line and column, an array) in its own terms.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tsneloss::core {

// For P of the given shape (its extents, any number of them), when it is not square.
inline std::string NotSquare(const std::vector<std::uint64_t>& shape) {
  std::string text = "P must be square; it is ";
  for (std::size_t k = 0; k < shape.size(); ++k) text += (k > 0 ? " by " : "") + std::to_string(shape[k]);
  return text;
}
inline std::string NotSquare(std::uint64_t rows, std::uint64_t columns) { return NotSquare({rows, columns}); }

// For a text field left empty between commas (or a comma and the line's start or end).
inline const std::string kEmptyField = "an empty field: a comma with no number before or after it";

// For a file whose entries differ between two readings, or from what was counted.
inline const std::string kFileChanged = "the file changed while it was read";

}  // namespace tsneloss::core
