// Conversions between the host's narrow (UTF-8) and 16-bit (UTF-16) strings.
// Malformed input never fails: each bad sequence becomes U+FFFD.
#pragma once

#include <string>

namespace foundation::core::text {

std::u16string Utf8ToUtf16(const std::string& utf8);
std::string Utf16ToUtf8(const std::u16string& utf16);

}  // namespace foundation::core::text
