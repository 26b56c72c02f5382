// Splitting a line of a text file into fields, with the column where each starts.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace tsneloss::formats {

struct Field {
  std::string_view text;
  std::size_t column;  // one-based
};

// What separates fields: a space, a tab or a comma (inlined: every byte of a file
// meets it).
inline bool IsSeparator(char c) { return c == ' ' || c == '\t' || c == ','; }

// Fields separated by runs of spaces, tabs or commas (a trailing '\r' is ignored).
std::vector<Field> SplitFields(std::string_view line);

// The same fields, without allocating: the first `capacity` go into `fields`; the
// return value is their number, at most `capacity`.
std::size_t SplitFieldsInto(std::string_view line, Field* fields, std::size_t capacity);

// The whole field as a finite or infinite double, or false. Every form strtod takes
// ("nan", "inf", hexadecimal, a leading '+'), and numbers too small for a double
// (they round to a subnormal or zero); a number too large for a double is refused.
bool ParseDouble(std::string_view text, double& value);
// The whole field as a whole number from 0 up, or false.
bool ParseCount(std::string_view text, unsigned long long& value);

}  // namespace tsneloss::formats
