// Where an input file comes from: a path, or standard input for "-".
#pragma once

#include <cstdint>
#include <fstream>
#include <istream>
#include <optional>
#include <string>

namespace tsneloss {

inline constexpr const char* kStandardInputPath = "-";

class InputSource {
 public:
  // Opens the file in binary mode. Throws InputError when it cannot be opened.
  explicit InputSource(const std::string& path);

  std::istream& stream() { return is_standard_input_ ? *standard_input_ : file_; }
  // How messages name it: the path, or "standard input".
  const std::string& name() const { return name_; }
  // Whether the path ends in `suffix`.
  bool PathEndsWith(const std::string& suffix) const;
  // The bytes not yet read, where that can be known (a regular file).
  std::optional<std::uint64_t> BytesLeft();

 private:
  std::string path_;
  std::string name_;
  bool is_standard_input_;
  std::istream* standard_input_ = nullptr;
  std::ifstream file_;
  std::optional<std::uint64_t> size_;
};

}  // namespace tsneloss
