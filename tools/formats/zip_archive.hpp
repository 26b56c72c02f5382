// The members of a zip archive (what NumPy's savez and SciPy's save_npz write), stored
// or deflated, zip64 included, read from an open file without loading them whole.
#pragma once

#include <zlib.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace tsneloss {

struct ZipMember {
  std::string name;
  int method = 0;                  // 0 stored, 8 deflated
  std::uint64_t compressed_size = 0;
  std::uint64_t size = 0;          // uncompressed
  std::uint64_t header_offset = 0; // of its local header
};

class ZipArchive {
 public:
  // Reads the central directory of the file open as `fd`, `file_size` bytes long.
  // Throws InputError naming `name` when it is no zip archive this reader can take.
  ZipArchive(int fd, std::uint64_t file_size, std::string name);

  const std::map<std::string, ZipMember>& members() const { return members_; }
  int fd() const { return fd_; }
  std::uint64_t file_size() const { return file_size_; }
  const std::string& name() const { return name_; }

 private:
  int fd_;
  std::uint64_t file_size_;
  std::string name_;
  std::map<std::string, ZipMember> members_;
};

// A member's uncompressed bytes, front to back.
class ZipMemberReader {
 public:
  // Throws InputError for a member this reader cannot take (neither stored nor deflated).
  ZipMemberReader(const ZipArchive& archive, const ZipMember& member);
  ~ZipMemberReader();
  ZipMemberReader(const ZipMemberReader&) = delete;
  ZipMemberReader& operator=(const ZipMemberReader&) = delete;

  // Exactly `size` bytes into `out`. Throws InputError when the member ends first or
  // its data is corrupt.
  void ReadExactly(char* out, std::size_t size);

 private:
  std::size_t ReadCompressed(char* out, std::size_t size);

  const ZipArchive& archive_;
  ZipMember member_;
  std::uint64_t data_offset_ = 0;
  std::uint64_t consumed_ = 0;  // bytes of the member's stored data read
  std::uint64_t produced_ = 0;  // uncompressed bytes handed out
  std::vector<char> input_;
  z_stream inflater_{};
  bool inflater_ready_ = false;
};

}  // namespace tsneloss
