// The element types of a .npy array of points, each widened to double as NumPy's
// astype(float64) does: booleans, integers, float16 to float64 and, where long double
// is the 80-bit extended type NumPy stores in 16 bytes, float128; either byte order.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

namespace tsneloss::formats {

struct NpyElement {
  char kind = 'f';  // NumPy's: 'b', 'i', 'u' or 'f'
  std::size_t size = 8;
  bool swapped = false;  // stored in the other byte order than this machine's

  // Whether the values are this machine's doubles as they are.
  bool IsNativeDouble() const { return kind == 'f' && size == 8 && !swapped; }
};

// The element a descr names ("<f8", ">i4", "|b1", quotes stripped). Throws InputError
// naming `path` for a descr of other values, or of a size this reader cannot convert.
NpyElement ParseNpyElement(const std::string& descr, const std::string& path);

// `count` elements from `in` to doubles at `out`.
void WidenNpyElements(const NpyElement& element, const char* in, std::size_t count, double* out);

}  // namespace tsneloss::formats
