#include "formats/zip_archive.hpp"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "core/input_error.hpp"

namespace tsneloss {
namespace {

constexpr std::uint32_t kEndOfDirectory = 0x06054b50;
constexpr std::uint32_t kZip64EndOfDirectory = 0x06064b50;
constexpr std::uint32_t kZip64Locator = 0x07064b50;
constexpr std::uint32_t kDirectoryEntry = 0x02014b50;
constexpr std::uint32_t kLocalHeader = 0x04034b50;
constexpr std::size_t kEndOfDirectoryBytes = 22;
constexpr std::size_t kInputChunkBytes = 1 << 20;

std::uint64_t Little(const char* bytes, int count) {
  std::uint64_t value = 0;
  for (int k = 0; k < count; ++k) value |= static_cast<std::uint64_t>(static_cast<unsigned char>(bytes[k])) << (8 * k);
  return value;
}

void ReadAt(int fd, std::uint64_t offset, char* out, std::size_t size, const std::string& name) {
  while (size > 0) {
    const ssize_t got = ::pread(fd, out, size, static_cast<off_t>(offset));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) throw InputError(name, "the archive ends too early or cannot be read");
    out += got;
    offset += static_cast<std::uint64_t>(got);
    size -= static_cast<std::size_t>(got);
  }
}

}  // namespace

ZipArchive::ZipArchive(int fd, std::uint64_t file_size, std::string name)
    : fd_(fd), file_size_(file_size), name_(std::move(name)) {
  const auto refuse = [&](const std::string& why) { throw InputError(name_, "not a zip archive this reader takes: " + why); };
  if (file_size_ < kEndOfDirectoryBytes) refuse("too short");
  // The end record sits in the last 22 bytes, or before a comment of up to 64 KiB.
  const std::uint64_t tail_bytes = std::min<std::uint64_t>(file_size_, kEndOfDirectoryBytes + 0xFFFF);
  std::vector<char> tail(tail_bytes);
  ReadAt(fd_, file_size_ - tail_bytes, tail.data(), tail.size(), name_);
  std::size_t end = tail.size() - kEndOfDirectoryBytes + 1;
  for (; end-- > 0;) {
    if (Little(&tail[end], 4) == kEndOfDirectory) break;
  }
  if (end == static_cast<std::size_t>(-1)) refuse("no end of central directory");
  const char* record = &tail[end];
  std::uint64_t entries = Little(record + 10, 2);
  std::uint64_t directory_size = Little(record + 12, 4);
  std::uint64_t directory_offset = Little(record + 16, 4);
  if ((entries == 0xFFFF || directory_size == 0xFFFFFFFF || directory_offset == 0xFFFFFFFF) && end >= 20 &&
      Little(record - 20, 4) == kZip64Locator) {
    char zip64[56];
    ReadAt(fd_, Little(record - 20 + 8, 8), zip64, sizeof zip64, name_);
    if (Little(zip64, 4) != kZip64EndOfDirectory) refuse("a broken zip64 end record");
    entries = Little(zip64 + 32, 8);
    directory_size = Little(zip64 + 40, 8);
    directory_offset = Little(zip64 + 48, 8);
  }
  if (directory_offset > file_size_ || directory_size > file_size_ - directory_offset) refuse("a directory past its end");
  std::vector<char> directory(directory_size);
  ReadAt(fd_, directory_offset, directory.data(), directory.size(), name_);
  std::size_t at = 0;
  for (std::uint64_t k = 0; k < entries; ++k) {
    if (at + 46 > directory.size() || Little(&directory[at], 4) != kDirectoryEntry) refuse("a broken directory");
    const char* entry = &directory[at];
    ZipMember member;
    member.method = static_cast<int>(Little(entry + 10, 2));
    member.compressed_size = Little(entry + 20, 4);
    member.size = Little(entry + 24, 4);
    const std::size_t name_bytes = Little(entry + 28, 2);
    const std::size_t extra_bytes = Little(entry + 30, 2);
    const std::size_t comment_bytes = Little(entry + 32, 2);
    member.header_offset = Little(entry + 42, 4);
    if (at + 46 + name_bytes + extra_bytes + comment_bytes > directory.size()) refuse("a broken directory");
    member.name.assign(entry + 46, name_bytes);
    // A zip64 extra field holds, in this order, the values that did not fit.
    for (std::size_t extra = 0; extra + 4 <= extra_bytes;) {
      const char* field = entry + 46 + name_bytes + extra;
      const std::size_t field_bytes = Little(field + 2, 2);
      if (Little(field, 2) == 0x0001) {
        std::size_t next = 4;
        for (std::uint64_t* value : {&member.size, &member.compressed_size, &member.header_offset}) {
          if (*value == 0xFFFFFFFF && next + 8 <= 4 + field_bytes && extra + next + 8 <= extra_bytes) {
            *value = Little(field + next, 8);
            next += 8;
          }
        }
      }
      extra += 4 + field_bytes;
    }
    members_[member.name] = member;
    at += 46 + name_bytes + extra_bytes + comment_bytes;
  }
}

ZipMemberReader::ZipMemberReader(const ZipArchive& archive, const ZipMember& member)
    : archive_(archive), member_(member) {
  if (member_.method != 0 && member_.method != 8) {
    throw InputError(archive_.name(), "member '" + member_.name + "' is compressed by method " +
                                          std::to_string(member_.method) + "; only stored or deflated members are read");
  }
  char local[30];
  ReadAt(archive_.fd(), member_.header_offset, local, sizeof local, archive_.name());
  if (Little(local, 4) != kLocalHeader) throw InputError(archive_.name(), "member '" + member_.name + "' has a broken header");
  data_offset_ = member_.header_offset + 30 + Little(local + 26, 2) + Little(local + 28, 2);
  // Sizes are checked against the archive before anything is set aside for them:
  // deflate makes at most about 1032 bytes of one.
  const bool fits = data_offset_ <= archive_.file_size() && member_.compressed_size <= archive_.file_size() - data_offset_ &&
                    (member_.method == 8 ? member_.size / 1032 <= member_.compressed_size
                                         : member_.size == member_.compressed_size);
  if (!fits) throw InputError(archive_.name(), "member '" + member_.name + "' gives sizes its archive cannot hold");
  if (member_.method == 8) {
    // Raw deflate: a negative window size means no zlib wrapper.
    if (inflateInit2(&inflater_, -MAX_WBITS) != Z_OK) throw InputError(archive_.name(), "cannot start decompressing");
    inflater_ready_ = true;
    input_.resize(kInputChunkBytes);
  }
}

ZipMemberReader::~ZipMemberReader() {
  if (inflater_ready_) inflateEnd(&inflater_);
}

std::size_t ZipMemberReader::ReadCompressed(char* out, std::size_t size) {
  inflater_.next_out = reinterpret_cast<Bytef*>(out);
  inflater_.avail_out = static_cast<uInt>(size);
  while (inflater_.avail_out > 0) {
    if (inflater_.avail_in == 0) {
      const std::uint64_t left = member_.compressed_size - consumed_;
      if (left == 0) break;
      const std::size_t chunk = static_cast<std::size_t>(std::min<std::uint64_t>(left, input_.size()));
      ReadAt(archive_.fd(), data_offset_ + consumed_, input_.data(), chunk, archive_.name());
      consumed_ += chunk;
      inflater_.next_in = reinterpret_cast<Bytef*>(input_.data());
      inflater_.avail_in = static_cast<uInt>(chunk);
    }
    const int status = inflate(&inflater_, Z_NO_FLUSH);
    if (status == Z_STREAM_END) break;
    if (status != Z_OK) throw InputError(archive_.name(), "member '" + member_.name + "' holds corrupt data");
  }
  return size - inflater_.avail_out;
}

void ZipMemberReader::ReadExactly(char* out, std::size_t size) {
  const auto short_member = [&] {
    return InputError(archive_.name(), "member '" + member_.name + "' holds less data than its header gives");
  };
  if (size > member_.size - produced_) throw short_member();
  while (size > 0) {
    const std::size_t step = std::min<std::size_t>(size, 1u << 30);
    if (member_.method == 0) {
      ReadAt(archive_.fd(), data_offset_ + produced_, out, step, archive_.name());
    } else if (ReadCompressed(out, step) != step) {
      throw short_member();
    }
    produced_ += step;
    out += step;
    size -= step;
  }
}

}  // namespace tsneloss
