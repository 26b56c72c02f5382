// Where an input file comes from: a path, or standard input for "-". A file that
// starts with the gzip magic bytes is decompressed as it is read, so every reader
// takes plain and compressed files alike.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "formats/file_descriptor.hpp"
#include "formats/gzip_inflater.hpp"

namespace tsneloss::formats {

inline constexpr const char* kStandardInputPath = "-";

class InputSource {
 public:
  // Opens the file. Throws InputError, with the system's reason, when it cannot be
  // opened, or when its first bytes cannot be read or start corrupt gzip data.
  explicit InputSource(const std::string& path);
  ~InputSource();
  InputSource(const InputSource&) = delete;
  InputSource& operator=(const InputSource&) = delete;

  // How messages name it: the path, or "standard input".
  const std::string& name() const { return name_; }
  // Whether the path ends in `suffix`.
  bool PathEndsWith(const std::string& suffix) const;
  // Whether the bytes are gzip-decompressed on the way.
  bool compressed() const { return compressed_; }
  // The bytes not yet read, where that can be known (an uncompressed regular file).
  std::optional<std::uint64_t> BytesLeft() const;

  // Up to `size` bytes into `out`; 0 only at the end. Throws InputError on a read
  // error, corrupt compressed data (each gzip member's CRC-32 and length are checked
  // at its end), or a regular file that ends before the size it had when opened.
  std::size_t Read(char* out, std::size_t size);
  // The next byte without consuming it, or -1 at the end.
  int Peek();
  // The first bytes (up to `count`) without consuming anything; only before reading.
  std::string PeekPrefix(std::size_t count);

  // Whether Rewind can start over: regular files can, standard input cannot.
  bool CanRewind() const { return seekable_; }
  // Back to the first byte. Throws InputError when the file cannot be read again.
  void Rewind();

  // Where the bytes not yet read begin, for an uncompressed regular file, which can
  // be mapped into memory instead of read; nullopt otherwise.
  std::optional<std::uint64_t> MappableOffset() const {
    if (!seekable_ || compressed_) return std::nullopt;
    return raw_consumed_;
  }

  // The open file for random access (.npz archives), -1 for standard input.
  int descriptor() const { return seekable_ ? fd_.get() : -1; }
  // The file's size as stored, where it is a regular file.
  std::optional<std::uint64_t> stored_size() const { return size_; }

 private:
  std::size_t ReadRaw(char* out, std::size_t size);
  bool FillRaw();
  std::size_t ReadDescriptor(char* out, std::size_t size);
  std::size_t Inflate(char* out, std::size_t size);
  void StartDecompression();

  std::string path_;
  std::string name_;
  FileDescriptor fd_;
  bool seekable_ = false;
  bool compressed_ = false;
  std::optional<std::uint64_t> size_;
  // Bytes of the file read from the descriptor but not yet handed out.
  std::vector<char> raw_;
  std::size_t raw_begin_ = 0;
  std::size_t raw_end_ = 0;
  std::uint64_t raw_consumed_ = 0;  // bytes of the file handed out or decompressed
  std::uint64_t raw_read_ = 0;      // bytes of the file read from the descriptor
  bool raw_ended_ = false;
  std::unique_ptr<GzipInflater> inflater_;
  bool member_ended_ = false;
};

}  // namespace tsneloss::formats
