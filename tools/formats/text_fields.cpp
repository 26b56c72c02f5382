#include "formats/text_fields.hpp"

#include <cerrno>
#include <charconv>
#include <cstdlib>

namespace tsneloss::formats {

std::size_t SplitFieldsInto(std::string_view line, Field* fields, std::size_t capacity) {
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  std::size_t count = 0;
  std::size_t i = 0;
  const std::size_t size = line.size();
  while (i < size && count < capacity) {
    while (i < size && IsSeparator(line[i])) ++i;
    const std::size_t start = i;
    while (i < size && !IsSeparator(line[i])) ++i;
    if (i > start) fields[count++] = {line.substr(start, i - start), start + 1};
  }
  return count;
}

std::vector<Field> SplitFields(std::string_view line) {
  std::vector<Field> fields;
  Field field[16];
  std::size_t column_offset = 0;
  for (;;) {
    const std::size_t got = SplitFieldsInto(line.substr(column_offset), field, 16);
    for (std::size_t k = 0; k < got; ++k) fields.push_back({field[k].text, field[k].column + column_offset});
    if (got < 16) return fields;
    // Go on after the last field taken.
    column_offset = fields.back().column - 1 + fields.back().text.size();
  }
}

bool ParseDouble(std::string_view text, double& value) {
  // The usual decimal forms: from_chars rounds exactly as strtod does. It reports
  // numbers out of a double's range as errors; those and strtod's other forms go
  // the slow way below.
  const char* const end = text.data() + text.size();
  const auto [stop, error] = std::from_chars(text.data(), end, value);
  if (error == std::errc() && stop == end && !text.empty()) return true;
  // strtod takes "nan", "inf" and hexadecimal forms too; it needs a terminated string.
  const std::string copy(text);
  char* parsed_end = nullptr;
  errno = 0;
  value = std::strtod(copy.c_str(), &parsed_end);
  const bool underflow = errno == ERANGE && std::abs(value) < 1.0;
  return !copy.empty() && parsed_end == copy.c_str() + copy.size() && (errno == 0 || underflow);
}

bool ParseCount(std::string_view text, unsigned long long& value) {
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  return error == std::errc() && end == text.data() + text.size();
}

}  // namespace tsneloss::formats
