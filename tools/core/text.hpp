// Tokens from a file as messages may show them: a file can hold anything, and a
// message must stay one readable line.
#pragma once

#include <string>
#include <string_view>

namespace tsneloss {

inline constexpr std::size_t kShownTokenLength = 40;

// The token in single quotes, each byte that is not printable ASCII written as \xHH,
// cut after kShownTokenLength bytes of the token with "..." added.
std::string Shown(std::string_view token);

}  // namespace tsneloss
