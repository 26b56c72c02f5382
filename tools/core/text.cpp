#include "core/text.hpp"

#include <cstdio>

namespace tsneloss {

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

}  // namespace tsneloss
