#include "formats/input_source.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "core/input_error.hpp"

namespace tsneloss {
namespace {

constexpr std::size_t kRawBufferBytes = 1 << 20;

bool StartsWithGzipMagic(const char* bytes, std::size_t size) {
  return size >= 2 && static_cast<unsigned char>(bytes[0]) == 0x1F && static_cast<unsigned char>(bytes[1]) == 0x8B;
}

}  // namespace

InputSource::InputSource(const std::string& path)
    : path_(path), name_(path == kStandardInputPath ? "standard input" : path), raw_(kRawBufferBytes) {
  if (path == kStandardInputPath) {
    fd_ = STDIN_FILENO;
  } else {
    fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd_ < 0) throw InputError(name_, "cannot open the file");
    struct stat info {};
    if (::fstat(fd_, &info) == 0 && S_ISREG(info.st_mode)) {
      seekable_ = true;
      size_ = static_cast<std::uint64_t>(info.st_size);
    }
  }
  StartDecompression();
}

InputSource::~InputSource() {
  if (inflater_ready_) inflateEnd(&inflater_);
  if (fd_ >= 0 && fd_ != STDIN_FILENO) ::close(fd_);
}

bool InputSource::PathEndsWith(const std::string& suffix) const {
  return path_.size() >= suffix.size() && path_.compare(path_.size() - suffix.size(), suffix.size(), suffix) == 0;
}

std::optional<std::uint64_t> InputSource::BytesLeft() const {
  if (!size_ || compressed_) return std::nullopt;
  return raw_consumed_ <= *size_ ? *size_ - raw_consumed_ : 0;
}

void InputSource::StartDecompression() {
  // Two bytes decide; they stay in the buffer for whoever reads first.
  while (raw_end_ - raw_begin_ < 2 && FillRaw()) {
  }
  compressed_ = StartsWithGzipMagic(raw_.data() + raw_begin_, raw_end_ - raw_begin_);
  if (!compressed_) return;
  if (inflater_ready_) inflateEnd(&inflater_);
  inflater_ = z_stream{};
  // 16 + MAX_WBITS: a gzip wrapper, not raw deflate or zlib.
  if (inflateInit2(&inflater_, 16 + MAX_WBITS) != Z_OK) throw InputError(name_, "cannot start decompressing");
  inflater_ready_ = true;
  member_ended_ = false;
}

bool InputSource::FillRaw() {
  if (raw_ended_) return false;
  if (raw_begin_ == raw_end_) raw_begin_ = raw_end_ = 0;
  if (raw_end_ == raw_.size()) {
    std::memmove(raw_.data(), raw_.data() + raw_begin_, raw_end_ - raw_begin_);
    raw_end_ -= raw_begin_;
    raw_begin_ = 0;
  }
  for (;;) {
    const ssize_t got = ::read(fd_, raw_.data() + raw_end_, raw_.size() - raw_end_);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) throw InputError(name_, "read error");
    if (got == 0) {
      raw_ended_ = true;
      return false;
    }
    raw_end_ += static_cast<std::size_t>(got);
    return true;
  }
}

std::size_t InputSource::ReadRaw(char* out, std::size_t size) {
  if (raw_begin_ == raw_end_) {
    // Large reads go straight into the caller's buffer.
    if (size >= raw_.size() && !raw_ended_) {
      for (;;) {
        const ssize_t got = ::read(fd_, out, size);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) throw InputError(name_, "read error");
        if (got == 0) raw_ended_ = true;
        raw_consumed_ += static_cast<std::uint64_t>(got);
        return static_cast<std::size_t>(got);
      }
    }
    if (!FillRaw()) return 0;
  }
  const std::size_t count = std::min(size, raw_end_ - raw_begin_);
  std::memcpy(out, raw_.data() + raw_begin_, count);
  raw_begin_ += count;
  raw_consumed_ += count;
  return count;
}

std::size_t InputSource::Inflate(char* out, std::size_t size) {
  inflater_.next_out = reinterpret_cast<Bytef*>(out);
  inflater_.avail_out = static_cast<uInt>(std::min<std::size_t>(size, 1u << 30));
  const uInt wanted = inflater_.avail_out;
  while (inflater_.avail_out == wanted) {
    if (raw_begin_ == raw_end_ && !FillRaw()) {
      if (!member_ended_) throw InputError(name_, "the gzip data ends too early");
      break;
    }
    if (member_ended_) {
      // Another gzip member follows (as `cat a.gz b.gz` makes).
      if (inflateReset(&inflater_) != Z_OK) throw InputError(name_, "the gzip data is corrupt");
      member_ended_ = false;
    }
    inflater_.next_in = reinterpret_cast<Bytef*>(raw_.data() + raw_begin_);
    inflater_.avail_in = static_cast<uInt>(raw_end_ - raw_begin_);
    const int status = inflate(&inflater_, Z_NO_FLUSH);
    const std::size_t used = (raw_end_ - raw_begin_) - inflater_.avail_in;
    raw_begin_ += used;
    raw_consumed_ += used;
    if (status == Z_STREAM_END) {
      member_ended_ = true;
    } else if (status != Z_OK && status != Z_BUF_ERROR) {
      throw InputError(name_, "the gzip data is corrupt");
    }
  }
  return wanted - inflater_.avail_out;
}

std::size_t InputSource::Read(char* out, std::size_t size) {
  if (size == 0) return 0;
  return compressed_ ? Inflate(out, size) : ReadRaw(out, size);
}

int InputSource::Peek() {
  if (!compressed_) {
    if (raw_begin_ == raw_end_ && !FillRaw()) return -1;
    return static_cast<unsigned char>(raw_[raw_begin_]);
  }
  const std::string prefix = PeekPrefix(1);
  return prefix.empty() ? -1 : static_cast<unsigned char>(prefix[0]);
}

std::string InputSource::PeekPrefix(std::size_t count) {
  if (!compressed_) {
    while (raw_end_ - raw_begin_ < count && FillRaw()) {
    }
    return std::string(raw_.data() + raw_begin_, std::min(count, raw_end_ - raw_begin_));
  }
  // Decompressed bytes cannot be pushed back: peek on a copy of the state.
  if (!seekable_) {
    // Standard input: decompress the prefix from the buffered compressed bytes only.
    while (raw_end_ - raw_begin_ < raw_.size() / 2 && FillRaw()) {
    }
    z_stream copy{};
    inflateCopy(&copy, &inflater_);
    std::string prefix(count, '\0');
    copy.next_in = reinterpret_cast<Bytef*>(raw_.data() + raw_begin_);
    copy.avail_in = static_cast<uInt>(raw_end_ - raw_begin_);
    copy.next_out = reinterpret_cast<Bytef*>(prefix.data());
    copy.avail_out = static_cast<uInt>(count);
    inflate(&copy, Z_NO_FLUSH);
    prefix.resize(count - copy.avail_out);
    inflateEnd(&copy);
    return prefix;
  }
  std::string prefix(count, '\0');
  std::size_t got = 0;
  while (got < count) {
    const std::size_t more = Read(prefix.data() + got, count - got);
    if (more == 0) break;
    got += more;
  }
  prefix.resize(got);
  Rewind();
  return prefix;
}

void InputSource::Rewind() {
  if (!seekable_ || ::lseek(fd_, 0, SEEK_SET) != 0) throw InputError(name_, "cannot read the file a second time");
  raw_begin_ = raw_end_ = 0;
  raw_consumed_ = 0;
  raw_ended_ = false;
  StartDecompression();
}

}  // namespace tsneloss
