#include "input_source.hpp"

#include <filesystem>
#include <iostream>

#include "input_error.hpp"

namespace tsneloss {

InputSource::InputSource(const std::string& path)
    : path_(path),
      name_(path == kStandardInputPath ? "standard input" : path),
      is_standard_input_(path == kStandardInputPath) {
  if (is_standard_input_) {
    standard_input_ = &std::cin;
    return;
  }
  file_.open(path, std::ios::binary);
  if (!file_) throw InputError(name_, "cannot open the file");
  std::error_code error;
  if (std::filesystem::is_regular_file(path, error)) {
    const auto size = std::filesystem::file_size(path, error);
    if (!error) size_ = size;
  }
}

bool InputSource::PathEndsWith(const std::string& suffix) const {
  return path_.size() >= suffix.size() && path_.compare(path_.size() - suffix.size(), suffix.size(), suffix) == 0;
}

std::optional<std::uint64_t> InputSource::BytesLeft() {
  if (!size_) return std::nullopt;
  const std::streamoff at = file_.tellg();
  if (at < 0) return std::nullopt;
  const auto read = static_cast<std::uint64_t>(at);
  return read <= *size_ ? *size_ - read : 0;
}

}  // namespace tsneloss
