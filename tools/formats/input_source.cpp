#include "formats/input_source.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "core/input_error.hpp"

namespace tsneloss::formats {
namespace {

constexpr std::size_t kRawBufferBytes = std::size_t{1} << 20;
constexpr std::size_t kSmallestRawBufferBytes = std::size_t{4} << 10;

bool StartsWithGzipMagic(const char* bytes, std::size_t size) {
  return size >= 2 && static_cast<unsigned char>(bytes[0]) == 0x1F && static_cast<unsigned char>(bytes[1]) == 0x8B;
}

}  // namespace

InputSource::InputSource(const std::string& path)
    : path_(path), name_(path == kStandardInputPath ? "standard input" : path) {
  if (path == kStandardInputPath) {
    fd_ = FileDescriptor(STDIN_FILENO, false);
  } else {
    fd_ = FileDescriptor(::open(path.c_str(), O_RDONLY | O_CLOEXEC), true);
    if (!fd_.valid()) throw core::InputError(name_, WithReason("cannot open the file"));
    struct stat info {};
    if (::fstat(fd_.get(), &info) == 0 && S_ISREG(info.st_mode)) {
      seekable_ = true;
      size_ = static_cast<std::uint64_t>(info.st_size);
    }
  }
  StartDecompression();
}

InputSource::~InputSource() = default;

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
  inflater_.reset();
  member_ended_ = false;
  if (compressed_) inflater_ = std::make_unique<GzipInflater>(name_);
}

std::size_t InputSource::ReadDescriptor(char* out, std::size_t size) {
  for (;;) {
    const ssize_t got = ::read(fd_.get(), out, size);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) throw core::InputError(name_, WithReason("read error"));
    if (got == 0 && size > 0) {
      raw_ended_ = true;
      // A regular file ends where its size said, unless it was cut meanwhile.
      if (size_ && raw_read_ < *size_) throw core::InputError(name_, "the file shrank while it was read");
    }
    raw_read_ += static_cast<std::uint64_t>(got);
    return static_cast<std::size_t>(got);
  }
}

bool InputSource::FillRaw() {
  if (raw_ended_) return false;
  if (raw_.empty()) {
    // Sized to the file, so small files cost little.
    const std::uint64_t wanted = size_ ? std::max<std::uint64_t>(*size_, kSmallestRawBufferBytes) : kRawBufferBytes;
    raw_.resize(static_cast<std::size_t>(std::min<std::uint64_t>(wanted, kRawBufferBytes)));
  }
  if (raw_begin_ == raw_end_) raw_begin_ = raw_end_ = 0;
  if (raw_end_ == raw_.size()) {
    if (raw_begin_ == 0) {
      raw_.resize(raw_.size() * 2);
    } else {
      std::memmove(raw_.data(), raw_.data() + raw_begin_, raw_end_ - raw_begin_);
      raw_end_ -= raw_begin_;
      raw_begin_ = 0;
    }
  }
  const std::size_t got = ReadDescriptor(raw_.data() + raw_end_, raw_.size() - raw_end_);
  raw_end_ += got;
  return got > 0;
}

std::size_t InputSource::ReadRaw(char* out, std::size_t size) {
  if (raw_begin_ == raw_end_) {
    // Large reads go straight into the caller's buffer.
    if (size >= kRawBufferBytes && !raw_ended_) {
      const std::size_t got = ReadDescriptor(out, size);
      raw_consumed_ += got;
      return got;
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
  // Each member is inflated to its end, where zlib checks its CRC-32 and length.
  for (;;) {
    if (raw_begin_ == raw_end_ && !FillRaw()) {
      if (!member_ended_) throw core::InputError(name_, "the gzip data ends too early");
      return 0;
    }
    if (member_ended_) {
      // Another gzip member follows (as `cat a.gz b.gz` makes).
      inflater_->Reset();
      member_ended_ = false;
    }
    std::size_t used = 0;
    std::size_t made = 0;
    const auto step = inflater_->Inflate(raw_.data() + raw_begin_, raw_end_ - raw_begin_, used, out, size, made);
    raw_begin_ += used;
    raw_consumed_ += used;
    if (step == GzipInflater::Step::kMemberEnd) member_ended_ = true;
    if (made > 0) return made;
  }
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
    while (raw_end_ - raw_begin_ < kRawBufferBytes / 2 && FillRaw()) {
    }
    const auto copy = inflater_->Copy();
    std::string prefix(count, '\0');
    std::size_t made = 0;
    std::size_t at = raw_begin_;
    while (made < count && at < raw_end_) {
      std::size_t used = 0;
      std::size_t more = 0;
      const auto step = copy->Inflate(raw_.data() + at, raw_end_ - at, used, prefix.data() + made, count - made, more);
      at += used;
      made += more;
      if (step == GzipInflater::Step::kMemberEnd || (used == 0 && more == 0)) break;
    }
    prefix.resize(made);
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
  if (!seekable_) throw core::InputError(name_, "cannot read the file a second time");
  if (::lseek(fd_.get(), 0, SEEK_SET) != 0) throw core::InputError(name_, WithReason("cannot read the file a second time"));
  raw_begin_ = raw_end_ = 0;
  raw_consumed_ = 0;
  raw_read_ = 0;
  raw_ended_ = false;
  StartDecompression();
}

}  // namespace tsneloss::formats
