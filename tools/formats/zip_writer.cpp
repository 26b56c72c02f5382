#include "formats/zip_writer.hpp"

#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <stdexcept>

#include "formats/zip_format.hpp"

namespace tsneloss::formats {
namespace {

using zip::kSaturated32;
constexpr std::uint16_t kVersionStored = 20;
constexpr std::uint16_t kVersionZip64 = 45;
// 1980-01-01 00:00, the earliest time zip records: the archive's bytes depend on P alone.
constexpr std::uint16_t kDosDate = (0 << 9) | (1 << 5) | 1;

void Put16(std::string& out, std::uint64_t value) {
  for (int byte = 0; byte < 2; ++byte) out += static_cast<char>((value >> (8 * byte)) & 0xFF);
}
void Put32(std::string& out, std::uint64_t value) {
  for (int byte = 0; byte < 4; ++byte) out += static_cast<char>((value >> (8 * byte)) & 0xFF);
}
void Put64(std::string& out, std::uint64_t value) {
  for (int byte = 0; byte < 8; ++byte) out += static_cast<char>((value >> (8 * byte)) & 0xFF);
}

std::uint32_t Crc32Of(const ZipWriter::Producer& producer) {
  uLong crc = crc32(0, nullptr, 0);
  producer([&](const char* bytes, std::size_t count) {
    // zlib takes at most an unsigned int at a time.
    while (count > 0) {
      const std::size_t step = std::min<std::size_t>(count, std::numeric_limits<unsigned>::max());
      crc = crc32(crc, reinterpret_cast<const Bytef*>(bytes), static_cast<uInt>(step));
      bytes += step;
      count -= step;
    }
  });
  return static_cast<std::uint32_t>(crc);
}

}  // namespace

ZipWriter::ZipWriter(const std::string& path, const std::string& shown, std::uint64_t zip64_from)
    : shown_(shown.empty() ? path : shown), file_(std::fopen(path.c_str(), "wb")), zip64_from_(zip64_from) {
  if (file_ == nullptr) throw std::runtime_error("cannot write " + shown_ + ": " + std::strerror(errno));
}

ZipWriter::~ZipWriter() {
  if (file_ != nullptr) std::fclose(file_);
}

std::uint64_t ZipWriter::Saturated(std::uint64_t value) const { return value >= zip64_from_ ? kSaturated32 : value; }

void ZipWriter::Write(const char* bytes, std::size_t count) {
  if (std::fwrite(bytes, 1, count, file_) != count) {
    throw std::runtime_error("cannot write " + shown_ + ": " + std::strerror(errno));
  }
  written_ += count;
}

void ZipWriter::Write(const std::string& bytes) { Write(bytes.data(), bytes.size()); }

void ZipWriter::Add(const std::string& name, std::uint64_t bytes, const Producer& producer) {
  const Member member{name, bytes, Crc32Of(producer), written_};
  const bool zip64 = bytes >= zip64_from_;
  std::string header;
  Put32(header, zip::kLocalHeader);
  Put16(header, zip64 ? kVersionZip64 : kVersionStored);
  Put16(header, 0);  // flags
  Put16(header, 0);  // stored
  Put16(header, 0);  // time
  Put16(header, kDosDate);
  Put32(header, member.crc);
  Put32(header, Saturated(bytes));
  Put32(header, Saturated(bytes));
  Put16(header, name.size());
  Put16(header, zip64 ? 20 : 0);
  header += name;
  if (zip64) {
    Put16(header, zip::kZip64Extra);
    Put16(header, 16);
    Put64(header, bytes);
    Put64(header, bytes);
  }
  Write(header);
  std::uint64_t emitted = 0;
  producer([&](const char* piece, std::size_t count) {
    Write(piece, count);
    emitted += count;
  });
  if (emitted != bytes) throw std::logic_error("zip member " + name + " emitted other bytes than announced");
  members_.push_back(member);
}

void ZipWriter::Finish() {
  const std::uint64_t directory_offset = written_;
  for (const Member& member : members_) {
    std::string extra;
    if (member.bytes >= zip64_from_) {
      Put64(extra, member.bytes);
      Put64(extra, member.bytes);
    }
    if (member.offset >= zip64_from_) Put64(extra, member.offset);
    const bool zip64 = !extra.empty();
    std::string entry;
    Put32(entry, zip::kDirectoryEntry);
    Put16(entry, zip64 ? kVersionZip64 : kVersionStored);
    Put16(entry, zip64 ? kVersionZip64 : kVersionStored);
    Put16(entry, 0);
    Put16(entry, 0);
    Put16(entry, 0);
    Put16(entry, kDosDate);
    Put32(entry, member.crc);
    Put32(entry, Saturated(member.bytes));
    Put32(entry, Saturated(member.bytes));
    Put16(entry, member.name.size());
    Put16(entry, zip64 ? extra.size() + 4 : 0);
    Put16(entry, 0);  // comment
    Put16(entry, 0);  // disk
    Put16(entry, 0);  // internal attributes
    Put32(entry, 0);  // external attributes
    Put32(entry, Saturated(member.offset));
    entry += member.name;
    if (zip64) {
      Put16(entry, zip::kZip64Extra);
      Put16(entry, extra.size());
      entry += extra;
    }
    Write(entry);
  }
  const std::uint64_t directory_bytes = written_ - directory_offset;
  std::string end;
  if (directory_offset >= zip64_from_ || directory_bytes >= zip64_from_ || members_.size() >= 0xFFFF) {
    const std::uint64_t record_offset = written_;
    Put32(end, zip::kZip64EndOfDirectory);
    Put64(end, zip::kZip64EndRecordRest);
    Put16(end, kVersionZip64);
    Put16(end, kVersionZip64);
    Put32(end, 0);
    Put32(end, 0);
    Put64(end, members_.size());
    Put64(end, members_.size());
    Put64(end, directory_bytes);
    Put64(end, directory_offset);
    Put32(end, zip::kZip64Locator);
    Put32(end, 0);
    Put64(end, record_offset);
    Put32(end, 1);
  }
  Put32(end, zip::kEndOfDirectory);
  Put16(end, 0);
  Put16(end, 0);
  Put16(end, std::min<std::uint64_t>(members_.size(), 0xFFFF));
  Put16(end, std::min<std::uint64_t>(members_.size(), 0xFFFF));
  Put32(end, Saturated(directory_bytes));
  Put32(end, Saturated(directory_offset));
  Put16(end, 0);
  Write(end);
  std::FILE* file = file_;
  file_ = nullptr;
  if (std::fclose(file) != 0) throw std::runtime_error("cannot write " + shown_ + ": " + std::strerror(errno));
}

}  // namespace tsneloss::formats
