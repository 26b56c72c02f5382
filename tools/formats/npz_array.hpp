// One .npy array inside a .npz (zip) archive, read front to back in chunks: its header
// is checked on opening, its elements are converted as they are read, and its CRC-32
// is checked with its last byte. A stored array's indices can also be counted without
// being read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "core/input_error.hpp"
#include "formats/zip_archive.hpp"

namespace tsneloss::formats {

class NpzArray {
 public:
  // Opens the member `key`.npy and reads its .npy header. Throws InputError naming the
  // array: no such member, not a .npy array, a dtype other than a little-endian number
  // type, more than one dimension, or less data than its shape needs.
  NpzArray(const ZipArchive& archive, const std::string& key);

  std::uint64_t count() const { return count_; }
  const std::string& key() const { return key_; }
  // Reads what is left of the member, so that its CRC-32 is checked.
  void Finish() { reader_->Finish(); }

  // The next `count` elements as whole numbers; any that is no whole number in the
  // range of int64 comes out as -1.
  void ReadIndices(std::size_t count, std::vector<std::int64_t>& out);
  // The next `count` elements as doubles (float64, float32 or integers).
  void ReadValues(std::size_t count, std::vector<double>& out);
  // The single string of a 0-d array of bytes ('S') or UTF-32 ('U'), ASCII only.
  std::string ReadText();

  // Adds one to counts[i] for each index i the member holds, on up to `threads`
  // threads (from `parallel_from` indices on), looking at a stored member's bytes
  // without reading them (no CRC-32 check: whatever is counted is read again, and
  // checked, when the entries are). Returns false, counts then in any state, where it
  // cannot count that way: a deflated member, a type other than 4- or 8-byte
  // integers, an index outside 0 .. counts.size() - 1, or an unreadable file.
  // `in_order` tells whether the indices never decrease.
  bool CountStoredIndices(std::span<std::uint64_t> counts, unsigned threads, std::uint64_t parallel_from,
                          bool& in_order) const;

 private:
  core::InputError Fault(const std::string& what) const { return core::InputError(name_, "array '" + key_ + "' " + what); }
  // Before anything is set aside for a chunk: numbers take at most 8 bytes.
  void CheckNumberSize() const;
  bool ParseItemSize(const std::string& digits);
  void ReadRaw(std::size_t count);
  std::int64_t ReadSigned(const char* at) const;
  std::uint64_t ReadUnsigned(const char* at) const;

  const ZipArchive& archive_;
  std::string key_;
  std::string name_;
  std::unique_ptr<ZipMemberReader> reader_;
  char kind_ = '\0';
  std::size_t item_size_ = 0;
  std::uint64_t count_ = 0;
  std::uint64_t read_ = 0;
  std::vector<char> raw_;
};

}  // namespace tsneloss::formats
