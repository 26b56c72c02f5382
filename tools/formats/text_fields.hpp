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

// Fields separated by runs of spaces and tabs with at most one comma in each (a
// trailing '\r' is ignored). A comma with no field before it (on the line or since
// the last comma), or none after it, stands for an empty field: its text is empty
// and its column is where the field is missing.
std::vector<Field> SplitFields(std::string_view line);

// The same fields, without allocating: the first `capacity` go into `fields`; the
// return value is their number, at most `capacity`.
std::size_t SplitFieldsInto(std::string_view line, Field* fields, std::size_t capacity);

// The first empty field of the first `count`, or null.
const Field* FirstEmpty(const Field* fields, std::size_t count);

// Whether a line whose first field is `first` is a comment starting with `mark`.
inline bool IsComment(const Field& first, char mark) { return !first.text.empty() && first.text[0] == mark; }

// The whole field as a finite or infinite double, or false. Every form strtod takes
// ("nan", "inf", hexadecimal, a leading '+'), and numbers too small for a double
// (they round to a subnormal or zero); a number too large for a double is refused.
// Spaces and tabs around the number are ignored, as between fields; other white
// space is refused.
bool ParseDouble(std::string_view text, double& value);
// The whole field as a whole number from 0 up, or false; spaces and tabs around it
// are ignored.
bool ParseCount(std::string_view text, unsigned long long& value);

}  // namespace tsneloss::formats
