// A regular file mapped into memory for reading, unmapped by its owner. A file that
// is cut shorter while mapped would end the process with SIGBUS when a page past its
// new end is touched: while any MappedFile lives, a handler maps a page of zeros over
// such a page instead and marks the mapping as shrunk, so the reader can refuse the
// file by name. A SIGBUS anywhere else goes to the handler that was there before.
#pragma once

#include <cstdint>
#include <string>

namespace tsneloss::formats {

class MappedFile {
 public:
  // Maps the first `size` bytes of `fd` (size > 0); mapped() is false when the
  // system refuses, and the file is then read instead.
  MappedFile(int fd, std::uint64_t size);
  ~MappedFile();
  MappedFile(const MappedFile&) = delete;
  MappedFile& operator=(const MappedFile&) = delete;

  bool mapped() const { return data_ != nullptr; }
  const char* data() const { return data_; }
  std::uint64_t size() const { return size_; }

  // Whether the file is now shorter than the mapping, seen either by a page that
  // faulted (it reads as zeros since) or by the file's present size.
  bool Shrunk() const;
  // Throws InputError(name, "the file shrank while it was read") when Shrunk().
  void ThrowIfShrunk(const std::string& name) const;

  // Gives the memory of [offset, offset + length) back; the file keeps its pages.
  void Release(std::uint64_t offset, std::uint64_t length) const;
  // Has [offset, offset + length) read in on a thread the caller runs it on.
  void Populate(std::uint64_t offset, std::uint64_t length) const;

 private:
  int fd_;
  const char* data_ = nullptr;
  std::uint64_t size_ = 0;
  int slot_ = -1;  // in the table the handler reads
};

}  // namespace tsneloss::formats
