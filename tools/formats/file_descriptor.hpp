// An open file descriptor that closes itself, and the reasons system calls give.
#pragma once

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <utility>

namespace tsneloss::formats {

class FileDescriptor {
 public:
  FileDescriptor() = default;
  // Takes `fd`; it is closed on destruction only when `owned`.
  FileDescriptor(int fd, bool owned) : fd_(fd), owned_(owned) {}
  ~FileDescriptor() { Close(); }
  FileDescriptor(FileDescriptor&& other) noexcept
      : fd_(std::exchange(other.fd_, -1)), owned_(std::exchange(other.owned_, false)) {}
  FileDescriptor& operator=(FileDescriptor&& other) noexcept {
    if (this != &other) {
      Close();
      fd_ = std::exchange(other.fd_, -1);
      owned_ = std::exchange(other.owned_, false);
    }
    return *this;
  }

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }

 private:
  void Close() {
    // Nothing was written through it: a failing close loses nothing.
    if (owned_ && fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

  int fd_ = -1;
  bool owned_ = false;
};

// `what` followed by errno's text, as in "read error: Input/output error".
inline std::string WithReason(const std::string& what, int error = errno) {
  return what + ": " + std::strerror(error);
}

}  // namespace tsneloss::formats
