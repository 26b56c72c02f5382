// Writing a zip archive of stored (uncompressed) members, as NumPy's .npz holds them,
// in zip64 form where a size or an offset needs it.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "formats/zip_format.hpp"

namespace tsneloss::formats {

class ZipWriter {
 public:
  // Hands a member's bytes over in pieces, in order.
  using Emit = std::function<void(const char* bytes, std::size_t count)>;
  // Emits a member's bytes; called twice (for its CRC-32, then to write it), it must
  // emit the same bytes each time.
  using Producer = std::function<void(const Emit& emit)>;

  // Sizes and offsets from which zip64 fields are written (tests force them lower).
  static constexpr std::uint64_t kZip64From = zip::kSaturated32;

  // Creates or truncates `path`. Throws std::runtime_error naming `shown` (the path
  // itself when empty).
  explicit ZipWriter(const std::string& path, const std::string& shown = "", std::uint64_t zip64_from = kZip64From);
  ~ZipWriter();
  ZipWriter(const ZipWriter&) = delete;
  ZipWriter& operator=(const ZipWriter&) = delete;

  // Appends a member of `bytes` bytes. Throws std::runtime_error.
  void Add(const std::string& name, std::uint64_t bytes, const Producer& producer);
  // Writes the directory and closes the file. Throws std::runtime_error.
  void Finish();

 private:
  struct Member {
    std::string name;
    std::uint64_t bytes;
    std::uint32_t crc;
    std::uint64_t offset;
  };
  // A size or offset as a 32-bit field holds it: saturated where zip64 takes over.
  std::uint64_t Saturated(std::uint64_t value) const;
  void Write(const std::string& bytes);
  void Write(const char* bytes, std::size_t count);

  std::string shown_;
  std::FILE* file_ = nullptr;
  std::uint64_t zip64_from_;
  std::uint64_t written_ = 0;
  std::vector<Member> members_;
};

}  // namespace tsneloss::formats
