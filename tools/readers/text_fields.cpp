#include "text_fields.hpp"

#include <cerrno>
#include <charconv>
#include <cstdlib>

namespace tsneloss {

std::vector<Field> SplitFields(std::string_view line) {
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  auto separator = [](char c) { return c == ' ' || c == '\t' || c == ','; };
  std::vector<Field> fields;
  std::size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && separator(line[i])) ++i;
    const std::size_t start = i;
    while (i < line.size() && !separator(line[i])) ++i;
    if (i > start) fields.push_back({line.substr(start, i - start), start + 1});
  }
  return fields;
}

bool ParseDouble(std::string_view text, double& value) {
  // strtod takes "nan", "inf" and hexadecimal forms too; it needs a terminated string.
  const std::string copy(text);
  char* end = nullptr;
  errno = 0;
  value = std::strtod(copy.c_str(), &end);
  const bool underflow = errno == ERANGE && std::abs(value) < 1.0;
  return !copy.empty() && end == copy.c_str() + copy.size() && (errno == 0 || underflow);
}

bool ParseCount(std::string_view text, unsigned long long& value) {
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  return error == std::errc() && end == text.data() + text.size();
}

}  // namespace tsneloss
