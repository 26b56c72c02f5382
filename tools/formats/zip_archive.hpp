// The members of a zip archive (what NumPy's savez and SciPy's save_npz write), stored
// or deflated, zip64 included, read from an open file without loading them whole.
// Hostile archives are refused: every local header must agree with the directory,
// members may not overlap or repeat a name, and each member's CRC-32 is checked once
// its last byte has been read.
#pragma once

#include <zlib.h>

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/input_error.hpp"

namespace tsneloss::formats {

struct ZipMember {
  std::string name;
  int method = 0;                  // 0 stored, 8 deflated
  std::uint32_t flags = 0;         // bit 3: sizes and CRC follow the data
  std::uint32_t crc = 0;           // CRC-32 of the uncompressed bytes
  std::uint64_t compressed_size = 0;
  std::uint64_t size = 0;          // uncompressed
  std::uint64_t header_offset = 0; // of its local header
  std::uint64_t data_offset = 0;   // of its data, behind the local header
};

class ZipArchive {
 public:
  // Reads the central directory of the file open as `fd`, `file_size` bytes long, and
  // checks every local header against it. Throws InputError naming `name` when it is
  // no zip archive this reader can take.
  ZipArchive(int fd, std::uint64_t file_size, std::string name);

  const std::map<std::string, ZipMember>& members() const { return members_; }
  int fd() const { return fd_; }
  std::uint64_t file_size() const { return file_size_; }
  const std::string& name() const { return name_; }

 private:
  void ReadDirectory(std::uint64_t entries, std::uint64_t directory_offset, std::uint64_t directory_size);
  void CheckLocalHeaders(std::uint64_t directory_offset);

  int fd_;
  std::uint64_t file_size_;
  std::string name_;
  std::map<std::string, ZipMember> members_;
};

// `size` bytes at `offset` of the archive `name` open as `fd`. Throws InputError: "the
// archive ends too early", or "cannot read the archive: " and the system's reason.
void ReadArchiveBytes(int fd, std::uint64_t offset, char* out, std::size_t size, const std::string& name);

// A raw deflate stream's state, ended when its owner goes.
class Inflater {
 public:
  // Throws InputError naming `name` when zlib cannot start.
  explicit Inflater(const std::string& name);
  ~Inflater();
  Inflater(const Inflater&) = delete;
  Inflater& operator=(const Inflater&) = delete;

  z_stream& stream() { return stream_; }
  // Ends the stream now, checking that zlib agrees; the destructor does nothing after.
  void End(const std::string& name);

 private:
  z_stream stream_{};
  bool live_ = false;
};

// A member's uncompressed bytes, front to back.
class ZipMemberReader {
 public:
  // Throws InputError for a member this reader cannot take (neither stored nor deflated),
  // and, for a deflated one, reads at most `chunk_bytes` of it at a time.
  ZipMemberReader(const ZipArchive& archive, const ZipMember& member, std::size_t chunk_bytes = std::size_t{1} << 20);

  // Exactly `size` bytes into `out`. Throws InputError when the member ends first, its
  // data is corrupt, or (with its last byte read) its CRC-32 does not match.
  void ReadExactly(char* out, std::size_t size);
  // Reads what is left of the member, so that its CRC-32 is checked. Throws InputError.
  void Finish();
  // The uncompressed bytes not yet read.
  std::uint64_t left() const { return member_.size - produced_; }
  // For a stored member, where its next unread byte lies in the archive (for a look
  // ahead at the bytes without reading them); nullopt for a deflated one.
  std::optional<std::uint64_t> StoredPosition() const {
    if (member_.method != 0) return std::nullopt;
    return member_.data_offset + produced_;
  }

 private:
  std::size_t ReadCompressed(char* out, std::size_t size);
  void CheckWhole();
  core::InputError Fault(const std::string& what) const;

  const ZipArchive& archive_;
  ZipMember member_;
  std::uint64_t consumed_ = 0;  // bytes of the member's stored data read
  std::uint64_t produced_ = 0;  // uncompressed bytes handed out
  uLong crc_ = 0;               // of the bytes handed out
  std::vector<char> input_;
  std::unique_ptr<Inflater> inflater_;
  bool stream_ended_ = false;
};

}  // namespace tsneloss::formats
