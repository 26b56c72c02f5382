// An input that cannot be used, named with the place of the fault: a line and column
// of a file, or an element of an array handed over in memory.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace tsneloss::core {

class InputError : public std::runtime_error {
 public:
  // "source: message".
  InputError(const std::string& source, const std::string& message)
      : std::runtime_error(source + ": " + message) {}
  // "source:line:column: message", both one-based.
  InputError(const std::string& source, std::size_t line, std::size_t column, const std::string& message)
      : std::runtime_error(source + ":" + std::to_string(line) + ":" + std::to_string(column) + ": " + message) {}

  // "source: element k: message", k zero-based as in the array.
  static InputError AtElement(const std::string& source, std::uint64_t element, const std::string& message) {
    return InputError(source, "element " + std::to_string(element) + ": " + message);
  }
};

}  // namespace tsneloss::core
