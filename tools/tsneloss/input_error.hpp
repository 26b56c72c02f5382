// An input file that cannot be read or parsed, named with the place of the fault.
#pragma once

#include <stdexcept>
#include <string>

namespace tsneloss {

class InputError : public std::runtime_error {
 public:
  // "path: message", or "path:line:column: message" where the place is known (one-based).
  InputError(const std::string& path, const std::string& message)
      : std::runtime_error(path + ": " + message) {}
  InputError(const std::string& path, std::size_t line, std::size_t column, const std::string& message)
      : std::runtime_error(path + ":" + std::to_string(line) + ":" + std::to_string(column) + ": " + message) {}
};

}  // namespace tsneloss
