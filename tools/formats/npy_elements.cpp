#include "formats/npy_elements.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>

#include "core/input_error.hpp"
#include "core/input_rules.hpp"
#include "support/text.hpp"

namespace tsneloss::formats {
namespace {

// NumPy stores long double as the 80-bit extended type in 16 bytes on x86-64.
constexpr bool kExtendedLongDouble =
    std::numeric_limits<long double>::digits == 64 && sizeof(long double) == 16;

bool Supported(char kind, std::size_t size) {
  switch (kind) {
    case 'b':
      return size == 1;
    case 'i':
    case 'u':
      return size == 1 || size == 2 || size == 4 || size == 8;
    case 'f':
      return size == 2 || size == 4 || size == 8 || (size == 16 && kExtendedLongDouble);
    default:
      return false;
  }
}

template <typename T>
T Load(const char* at, bool swapped) {
  char bytes[sizeof(T)];
  std::memcpy(bytes, at, sizeof(T));
  if (swapped) std::reverse(bytes, bytes + sizeof(T));
  T value;
  std::memcpy(&value, bytes, sizeof(T));
  return value;
}

template <typename T>
void Widen(const char* in, std::size_t count, bool swapped, double* out) {
  for (std::size_t k = 0; k < count; ++k) out[k] = static_cast<double>(Load<T>(in + k * sizeof(T), swapped));
}

// IEEE binary16: every value is a double exactly.
double HalfToDouble(std::uint16_t bits) {
  const double sign = (bits & 0x8000) != 0 ? -1.0 : 1.0;
  const int exponent = (bits >> 10) & 0x1F;
  const int fraction = bits & 0x3FF;
  if (exponent == 0x1F) return fraction == 0 ? sign * std::numeric_limits<double>::infinity()
                                             : std::numeric_limits<double>::quiet_NaN();
  if (exponent == 0) return sign * std::ldexp(fraction, -24);
  return sign * std::ldexp(fraction + 1024, exponent - 25);
}

}  // namespace

NpyElement ParseNpyElement(const std::string& descr, const std::string& path) {
  std::string text = descr;
  if (text.size() >= 2 && (text.front() == '\'' || text.front() == '"') && text.back() == text.front()) {
    text = text.substr(1, text.size() - 2);
  }
  const auto refuse = [&] {
    return core::InputError(path, "the array's dtype is " + support::Shown(text) +
                                      "; an array of booleans, integers or floats is needed");
  };
  // A byte order, a kind, a size in bytes; NumPy writes structured types as lists.
  if (text.size() < 3 || std::string_view("<>|=").find(text[0]) == std::string_view::npos) throw refuse();
  NpyElement element;
  element.kind = text[1];
  if (core::kRealKinds.find(element.kind) == std::string_view::npos) {
    throw core::InputError(path, core::NotRealValues(text));
  }
  const bool digits = std::all_of(text.begin() + 2, text.end(), [](char c) { return c >= '0' && c <= '9'; });
  if (!digits || text.size() > 4) throw refuse();
  element.size = static_cast<std::size_t>(std::stoul(text.substr(2)));
  if (!Supported(element.kind, element.size)) throw refuse();
  const bool big = text[0] == '>';
  const bool little = text[0] == '<';
  element.swapped = element.size > 1 && ((big && std::endian::native == std::endian::little) ||
                                         (little && std::endian::native == std::endian::big));
  return element;
}

void WidenNpyElements(const NpyElement& element, const char* in, std::size_t count, double* out) {
  switch (element.kind) {
    case 'b':
      for (std::size_t k = 0; k < count; ++k) out[k] = in[k] != 0 ? 1.0 : 0.0;
      return;
    case 'i':
      if (element.size == 1) return Widen<std::int8_t>(in, count, element.swapped, out);
      if (element.size == 2) return Widen<std::int16_t>(in, count, element.swapped, out);
      if (element.size == 4) return Widen<std::int32_t>(in, count, element.swapped, out);
      return Widen<std::int64_t>(in, count, element.swapped, out);
    case 'u':
      if (element.size == 1) return Widen<std::uint8_t>(in, count, element.swapped, out);
      if (element.size == 2) return Widen<std::uint16_t>(in, count, element.swapped, out);
      if (element.size == 4) return Widen<std::uint32_t>(in, count, element.swapped, out);
      return Widen<std::uint64_t>(in, count, element.swapped, out);
    default:
      break;
  }
  if (element.size == 2) {
    for (std::size_t k = 0; k < count; ++k) out[k] = HalfToDouble(Load<std::uint16_t>(in + 2 * k, element.swapped));
  } else if (element.size == 4) {
    Widen<float>(in, count, element.swapped, out);
  } else if (element.size == 8) {
    Widen<double>(in, count, element.swapped, out);
  } else if constexpr (kExtendedLongDouble) {
    Widen<long double>(in, count, element.swapped, out);
  }
}

}  // namespace tsneloss::formats
