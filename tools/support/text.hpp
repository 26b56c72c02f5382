// Numbers and tokens as messages and outputs show them: one formatter for every
// number the tools print, and tokens from files made safe to print (a file can hold
// anything, and a message must stay one readable line).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace tsneloss::support {

inline constexpr std::size_t kShownTokenLength = 40;

// `value` with `digits` significant digits (17 round-trips a double, 9 a float);
// "inf", "-inf" and "nan" (never "-nan") where it is not finite.
std::string FormatNumber(double value, int digits = 17);

// Appends the fewest digits that read back as `value` (finite), for numbers written
// to files, where length counts and every bit must survive.
void AppendShortest(std::string& text, double value);

// The token in single quotes, each byte that is not printable ASCII written as \xHH,
// cut after kShownTokenLength bytes of the token with "..." added.
std::string Shown(std::string_view token);

// "1 point", "2 points": the count with its noun, `many` where it is not one.
std::string Counted(std::uint64_t count, std::string_view one, std::string_view many);
inline std::string Counted(std::uint64_t count, std::string_view one) {
  return Counted(count, one, std::string(one) + "s");
}

}  // namespace tsneloss::support
