#include "formats/text_fields.hpp"

#include <cctype>
#include <cerrno>
#include <charconv>
#include <cstdlib>

namespace tsneloss::formats {

namespace {

// Calls `take` with each field in turn while it returns true.
template <typename Take>
void ForEachField(std::string_view line, Take take) {
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  const std::size_t size = line.size();
  std::size_t i = 0;
  bool after_comma = false;
  // A comma owes a field before it, from the line's start or the last comma on.
  bool field_since_comma = false;
  for (;;) {
    while (i < size && (line[i] == ' ' || line[i] == '\t')) ++i;
    if (i == size) {
      if (after_comma && !field_since_comma) take(Field{line.substr(size, 0), size + 1});
      return;
    }
    if (line[i] == ',') {
      if (!field_since_comma && !take(Field{line.substr(i, 0), i + 1})) return;
      after_comma = true;
      field_since_comma = false;
      ++i;
      continue;
    }
    const std::size_t start = i;
    while (i < size && !IsSeparator(line[i])) ++i;
    if (!take(Field{line.substr(start, i - start), start + 1})) return;
    field_since_comma = true;
  }
}

}  // namespace

std::size_t SplitFieldsInto(std::string_view line, Field* fields, std::size_t capacity) {
  std::size_t count = 0;
  if (capacity == 0) return 0;
  ForEachField(line, [&](const Field& field) {
    fields[count++] = field;
    return count < capacity;
  });
  return count;
}

std::vector<Field> SplitFields(std::string_view line) {
  std::vector<Field> fields;
  ForEachField(line, [&](const Field& field) {
    fields.push_back(field);
    return true;
  });
  return fields;
}

const Field* FirstEmpty(const Field* fields, std::size_t count) {
  for (std::size_t k = 0; k < count; ++k) {
    if (fields[k].text.empty()) return fields + k;
  }
  return nullptr;
}

namespace {

// A number given alone (an option's value) may come with spaces or tabs around it,
// as a field of a line may: they separate, and are no part of it.
std::string_view WithoutBlanks(std::string_view text) {
  const std::size_t first = text.find_first_not_of(" \t");
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

}  // namespace

bool ParseDouble(std::string_view text, double& value) {
  text = WithoutBlanks(text);
  // strtod would skip other white space too.
  if (!text.empty() && std::isspace(static_cast<unsigned char>(text.front())) != 0) return false;
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
  text = WithoutBlanks(text);
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  return error == std::errc() && end == text.data() + text.size();
}

}  // namespace tsneloss::formats
