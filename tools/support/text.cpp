#include "support/text.hpp"

#include <charconv>
#include <cmath>
#include <cstdio>

namespace tsneloss::support {

std::string FormatNumber(double value, int digits) {
  if (std::isnan(value)) return "nan";
  if (std::isinf(value)) return value > 0 ? "inf" : "-inf";
  char text[48];
  std::snprintf(text, sizeof text, "%.*g", digits, value);
  return text;
}

void AppendShortest(std::string& text, double value) {
  char digits[32];
  text.append(digits, std::to_chars(digits, digits + sizeof digits, value).ptr);
}

std::string Counted(std::uint64_t count, std::string_view one, std::string_view many) {
  return std::to_string(count) + " " + std::string(count == 1 ? one : many);
}

std::string Shown(std::string_view token) {
  const bool cut = token.size() > kShownTokenLength;
  if (cut) token = token.substr(0, kShownTokenLength);
  std::string text = "'";
  for (const char c : token) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x20 && byte < 0x7F) {
      text += c;
    } else {
      char escaped[5];
      std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
      text += escaped;
    }
  }
  return text + (cut ? "...'" : "'");
}

}  // namespace tsneloss::support
