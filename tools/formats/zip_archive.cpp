#include "formats/zip_archive.hpp"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>
#include <optional>
#include <stdexcept>

#include "formats/zip_format.hpp"

namespace tsneloss::formats {
namespace {

using zip::kDirectoryEntry;
using zip::kEndOfDirectory;
using zip::kLocalHeader;
using zip::kSaturated32;
using zip::kZip64EndOfDirectory;
using zip::kZip64Locator;
constexpr std::size_t kEndOfDirectoryBytes = 22;
constexpr std::size_t kZip64LocatorBytes = 20;
constexpr std::size_t kZip64EndBytes = 56;
constexpr std::size_t kDirectoryEntryBytes = 46;
constexpr std::size_t kLocalHeaderBytes = 30;
// Deflate makes at most about 1032 bytes of one.
constexpr std::uint64_t kLargestDeflateRatio = 1032;
constexpr std::uint32_t kEncrypted = 1;
constexpr std::uint32_t kDataDescriptor = 8;

std::uint64_t Little(const char* bytes, int count) {
  std::uint64_t value = 0;
  for (int k = 0; k < count; ++k) value |= static_cast<std::uint64_t>(static_cast<unsigned char>(bytes[k])) << (8 * k);
  return value;
}

// The zip64 extra field among `extra_bytes` of extra fields at `extra` replaces, in
// the order given, those of `values` that are saturated.
void ReadZip64Extra(const char* extra, std::size_t extra_bytes, std::initializer_list<std::uint64_t*> values) {
  for (std::size_t at = 0; at + 4 <= extra_bytes;) {
    const char* field = extra + at;
    const std::size_t field_bytes = Little(field + 2, 2);
    if (Little(field, 2) == zip::kZip64Extra) {
      std::size_t next = 4;
      for (std::uint64_t* value : values) {
        if (*value == kSaturated32 && next + 8 <= 4 + field_bytes && at + next + 8 <= extra_bytes) {
          *value = Little(field + next, 8);
          next += 8;
        }
      }
      return;
    }
    at += 4 + field_bytes;
  }
}

std::string Quoted(const ZipMember& member) { return "member '" + member.name + "'"; }

}  // namespace

void ReadArchiveBytes(int fd, std::uint64_t offset, char* out, std::size_t size, const std::string& name) {
  while (size > 0) {
    const ssize_t got = ::pread(fd, out, size, static_cast<off_t>(offset));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) throw core::InputError(name, std::string("cannot read the archive: ") + std::strerror(errno));
    if (got == 0) throw core::InputError(name, "the archive ends too early");
    out += got;
    offset += static_cast<std::uint64_t>(got);
    size -= static_cast<std::size_t>(got);
  }
}

ZipArchive::ZipArchive(int fd, std::uint64_t file_size, std::string name)
    : fd_(fd), file_size_(file_size), name_(std::move(name)) {
  const auto refuse = [&](const std::string& why) { throw core::InputError(name_, "not a zip archive this reader takes: " + why); };
  if (file_size_ < kEndOfDirectoryBytes) refuse("too short");
  // The end record sits in the last 22 bytes, or before a comment of up to 64 KiB; the
  // one whose comment reaches the end of the file exactly is the record.
  const std::uint64_t tail_bytes = std::min<std::uint64_t>(file_size_, kEndOfDirectoryBytes + 0xFFFF);
  std::vector<char> tail(tail_bytes);
  ReadArchiveBytes(fd_, file_size_ - tail_bytes, tail.data(), tail.size(), name_);
  std::optional<std::size_t> end;
  for (std::size_t at = tail.size() - kEndOfDirectoryBytes + 1; at-- > 0;) {
    if (Little(&tail[at], 4) == kEndOfDirectory && at + kEndOfDirectoryBytes + Little(&tail[at + 20], 2) == tail.size()) {
      end = at;
      break;
    }
  }
  if (!end) refuse("no end of central directory");
  const char* record = &tail[*end];
  const std::uint64_t record_offset = file_size_ - tail_bytes + *end;
  std::uint64_t entries = Little(record + 10, 2);
  std::uint64_t directory_size = Little(record + 12, 4);
  std::uint64_t directory_offset = Little(record + 16, 4);
  // The directory ends before the end record, or before the zip64 one.
  std::uint64_t directory_limit = record_offset;
  char locator[kZip64LocatorBytes];
  if ((entries == 0xFFFF || directory_size == kSaturated32 || directory_offset == kSaturated32) &&
      record_offset >= kZip64LocatorBytes) {
    ReadArchiveBytes(fd_, record_offset - kZip64LocatorBytes, locator, sizeof locator, name_);
    if (Little(locator, 4) == kZip64Locator) {
      const std::uint64_t zip64_offset = Little(locator + 8, 8);
      if (zip64_offset > record_offset - kZip64LocatorBytes ||
          record_offset - kZip64LocatorBytes - zip64_offset < kZip64EndBytes) {
        refuse("a zip64 end record past its end");
      }
      char zip64[kZip64EndBytes];
      ReadArchiveBytes(fd_, zip64_offset, zip64, sizeof zip64, name_);
      if (Little(zip64, 4) != kZip64EndOfDirectory) refuse("a broken zip64 end record");
      entries = Little(zip64 + 32, 8);
      directory_size = Little(zip64 + 40, 8);
      directory_offset = Little(zip64 + 48, 8);
      directory_limit = zip64_offset;
    }
  }
  if (directory_offset > directory_limit || directory_size > directory_limit - directory_offset) {
    refuse("a directory past its end");
  }
  if (entries > directory_size / kDirectoryEntryBytes) refuse("a directory too short for its entries");
  ReadDirectory(entries, directory_offset, directory_size);
  CheckLocalHeaders(directory_offset);
}

void ZipArchive::ReadDirectory(std::uint64_t entries, std::uint64_t directory_offset, std::uint64_t directory_size) {
  std::vector<char> directory(directory_size);
  ReadArchiveBytes(fd_, directory_offset, directory.data(), directory.size(), name_);
  std::size_t at = 0;
  for (std::uint64_t k = 0; k < entries; ++k) {
    if (at + kDirectoryEntryBytes > directory.size() || Little(&directory[at], 4) != kDirectoryEntry) {
      throw core::InputError(name_, "not a zip archive this reader takes: a broken directory");
    }
    const char* entry = &directory[at];
    ZipMember member;
    member.flags = static_cast<std::uint32_t>(Little(entry + 8, 2));
    member.method = static_cast<int>(Little(entry + 10, 2));
    member.crc = static_cast<std::uint32_t>(Little(entry + 16, 4));
    member.compressed_size = Little(entry + 20, 4);
    member.size = Little(entry + 24, 4);
    const std::size_t name_bytes = Little(entry + 28, 2);
    const std::size_t extra_bytes = Little(entry + 30, 2);
    const std::size_t comment_bytes = Little(entry + 32, 2);
    member.header_offset = Little(entry + 42, 4);
    if (at + kDirectoryEntryBytes + name_bytes + extra_bytes + comment_bytes > directory.size()) {
      throw core::InputError(name_, "not a zip archive this reader takes: a broken directory");
    }
    member.name.assign(entry + kDirectoryEntryBytes, name_bytes);
    ReadZip64Extra(entry + kDirectoryEntryBytes + name_bytes, extra_bytes,
                   {&member.size, &member.compressed_size, &member.header_offset});
    const std::string key = member.name;
    if (!members_.emplace(key, std::move(member)).second) {
      throw core::InputError(name_, "the archive holds two members named '" + key + "'");
    }
    at += kDirectoryEntryBytes + name_bytes + extra_bytes + comment_bytes;
  }
}

void ZipArchive::CheckLocalHeaders(std::uint64_t directory_offset) {
  const auto fault = [&](const ZipMember& member, const std::string& what) {
    return core::InputError(name_, Quoted(member) + " " + what);
  };
  // Where each member lies, from its local header to the end of its data.
  struct Span {
    std::uint64_t begin;
    std::uint64_t end;
    const ZipMember* member;
  };
  std::vector<Span> spans;
  std::vector<std::vector<char>> locals;
  for (auto& [key, member] : members_) {
    if (member.header_offset > directory_offset || directory_offset - member.header_offset < kLocalHeaderBytes) {
      throw fault(member, "lies past the central directory");
    }
    std::vector<char> local(kLocalHeaderBytes);
    ReadArchiveBytes(fd_, member.header_offset, local.data(), local.size(), name_);
    if (Little(local.data(), 4) != kLocalHeader) throw fault(member, "has no local header where the directory says");
    const std::size_t name_bytes = Little(&local[26], 2);
    const std::size_t extra_bytes = Little(&local[28], 2);
    member.data_offset = member.header_offset + kLocalHeaderBytes + name_bytes + extra_bytes;
    if (member.data_offset > directory_offset || member.compressed_size > directory_offset - member.data_offset) {
      throw fault(member, "lies past the central directory");
    }
    local.resize(kLocalHeaderBytes + name_bytes + extra_bytes);
    ReadArchiveBytes(fd_, member.header_offset + kLocalHeaderBytes, &local[kLocalHeaderBytes], name_bytes + extra_bytes,
                     name_);
    spans.push_back({member.header_offset, member.data_offset + member.compressed_size, &member});
    locals.push_back(std::move(local));
  }
  // Two members sharing bytes (or pointing at the same data) hide a different file.
  std::vector<Span> sorted = spans;
  std::sort(sorted.begin(), sorted.end(), [](const Span& a, const Span& b) {
    return a.begin != b.begin ? a.begin < b.begin : a.member->name < b.member->name;
  });
  for (std::size_t k = 1; k < sorted.size(); ++k) {
    if (sorted[k].begin < sorted[k - 1].end) {
      throw core::InputError(name_, "members '" + sorted[k - 1].member->name + "' and '" + sorted[k].member->name +
                                  "' overlap: the archive is corrupt");
    }
  }
  for (std::size_t k = 0; k < spans.size(); ++k) {
    const ZipMember& member = *spans[k].member;
    const char* local = locals[k].data();
    const std::size_t name_bytes = Little(local + 26, 2);
    const std::string local_name(local + kLocalHeaderBytes, name_bytes);
    if (local_name != member.name) {
      throw fault(member, "is named '" + local_name + "' in its local header: the archive is corrupt");
    }
    if (static_cast<int>(Little(local + 8, 2)) != member.method) {
      throw fault(member, "gives another compression method in its local header: the archive is corrupt");
    }
    // With a data descriptor the local header leaves CRC and sizes to the directory.
    if ((Little(local + 6, 2) & kDataDescriptor) != 0) continue;
    std::uint64_t compressed_size = Little(local + 18, 4);
    std::uint64_t size = Little(local + 22, 4);
    ReadZip64Extra(local + kLocalHeaderBytes + name_bytes, Little(local + 28, 2), {&size, &compressed_size});
    if (Little(local + 14, 4) != member.crc) {
      throw fault(member, "gives another CRC-32 in its local header than in the directory: the archive is corrupt");
    }
    if (compressed_size != member.compressed_size || size != member.size) {
      throw fault(member, "gives other sizes in its local header than in the directory: the archive is corrupt");
    }
  }
}

Inflater::Inflater(const std::string& name) {
  // Raw deflate: a negative window size means no zlib wrapper.
  const int status = inflateInit2(&stream_, -MAX_WBITS);
  if (status == Z_MEM_ERROR) throw std::bad_alloc();
  if (status != Z_OK) throw core::InputError(name, "cannot start decompressing (zlib error " + std::to_string(status) + ")");
  live_ = true;
}

Inflater::~Inflater() {
  // Only a stream zlib no longer knows fails to end, and End() has reported that.
  if (live_) inflateEnd(&stream_);
}

void Inflater::End(const std::string& name) {
  if (!live_) return;
  live_ = false;
  const int status = inflateEnd(&stream_);
  if (status != Z_OK) throw core::InputError(name, "cannot end decompressing (zlib error " + std::to_string(status) + ")");
}

ZipMemberReader::ZipMemberReader(const ZipArchive& archive, const ZipMember& member, std::size_t chunk_bytes)
    : archive_(archive), member_(member) {
  if (member_.method != 0 && member_.method != 8) {
    throw Fault("is compressed by method " + std::to_string(member_.method) +
                "; only stored or deflated members are read");
  }
  if ((member_.flags & kEncrypted) != 0) throw Fault("is encrypted");
  // Sizes are checked before anything is set aside for them; where the data lies the
  // archive has checked.
  const bool fits = member_.method == 8 ? member_.size / kLargestDeflateRatio <= member_.compressed_size
                                        : member_.size == member_.compressed_size;
  if (!fits) throw Fault("gives sizes its archive cannot hold");
  crc_ = crc32(0, nullptr, 0);
  if (member_.method == 8) {
    inflater_ = std::make_unique<Inflater>(archive_.name());
    input_.resize(static_cast<std::size_t>(
        std::clamp<std::uint64_t>(member_.compressed_size, 1, std::max<std::size_t>(chunk_bytes, 1))));
  }
  if (member_.size == 0) CheckWhole();
}

core::InputError ZipMemberReader::Fault(const std::string& what) const {
  return core::InputError(archive_.name(), Quoted(member_) + " " + what);
}

std::size_t ZipMemberReader::ReadCompressed(char* out, std::size_t size) {
  if (stream_ended_) return 0;
  z_stream& stream = inflater_->stream();
  stream.next_out = reinterpret_cast<Bytef*>(out);
  stream.avail_out = static_cast<uInt>(size);
  while (stream.avail_out > 0) {
    if (stream.avail_in == 0) {
      const std::uint64_t left = member_.compressed_size - consumed_;
      if (left == 0) break;
      const std::size_t chunk = static_cast<std::size_t>(std::min<std::uint64_t>(left, input_.size()));
      ReadArchiveBytes(archive_.fd(), member_.data_offset + consumed_, input_.data(), chunk, archive_.name());
      consumed_ += chunk;
      stream.next_in = reinterpret_cast<Bytef*>(input_.data());
      stream.avail_in = static_cast<uInt>(chunk);
    }
    const int status = inflate(&stream, Z_NO_FLUSH);
    if (status == Z_STREAM_END) {
      stream_ended_ = true;
      break;
    }
    if (status == Z_MEM_ERROR) throw std::bad_alloc();
    if (status != Z_OK) {
      throw Fault(std::string("holds corrupt data") + (stream.msg != nullptr ? std::string(" (") + stream.msg + ")" : ""));
    }
  }
  return size - stream.avail_out;
}

void ZipMemberReader::CheckWhole() {
  if (inflater_) {
    // The deflate stream must end with the member's last byte.
    char beyond;
    if (ReadCompressed(&beyond, 1) != 0) throw Fault("holds more data than its header gives");
    if (!stream_ended_) throw Fault("holds corrupt data (its deflate stream does not end)");
    inflater_->End(archive_.name());
  }
  if (crc_ != member_.crc) throw Fault("fails its CRC-32 check: the archive is corrupt");
}

void ZipMemberReader::ReadExactly(char* out, std::size_t size) {
  if (size > left()) throw Fault("holds less data than its header gives");
  while (size > 0) {
    const std::size_t step = std::min<std::size_t>(size, 1u << 30);
    if (member_.method == 0) {
      ReadArchiveBytes(archive_.fd(), member_.data_offset + produced_, out, step, archive_.name());
    } else if (ReadCompressed(out, step) != step) {
      throw Fault("holds less data than its header gives");
    }
    crc_ = crc32(crc_, reinterpret_cast<const Bytef*>(out), static_cast<uInt>(step));
    produced_ += step;
    out += step;
    size -= step;
    if (produced_ == member_.size) CheckWhole();
  }
}

void ZipMemberReader::Finish() {
  char scratch[4096];
  while (left() > 0) ReadExactly(scratch, static_cast<std::size_t>(std::min<std::uint64_t>(left(), sizeof scratch)));
}

}  // namespace tsneloss::formats
