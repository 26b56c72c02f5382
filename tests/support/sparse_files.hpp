// Writers for the files tsneloss reads, for tests and benchmarks: a zip archive of
// .npy arrays as SciPy's save_npz lays it out (members stored or deflated), gzip, and
// the .npy header. Written here so the suite needs neither SciPy nor Python.
#pragma once

#include <zlib.h>

#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace tsne_test {

// The .npy form of an array of raw little-endian data of any `shape` ("()" for 0-d),
// its data in C order or, with `fortran_order`, in Fortran order.
inline std::string NpyArray(const std::string& descr, const std::string& shape, const std::string& data,
                            bool fortran_order = false) {
  std::string header = "{'descr': '" + descr + "', 'fortran_order': " + (fortran_order ? "True" : "False") +
                       ", 'shape': " + shape + ", }";
  while ((10 + header.size() + 1) % 64 != 0) header += ' ';
  header += '\n';
  std::string file = "\x93NUMPY";
  file += '\x01';
  file += '\0';
  file += static_cast<char>(header.size() & 0xFF);
  file += static_cast<char>(header.size() >> 8);
  return file + header + data;
}

template <typename T>
std::string RawBytes(const std::vector<T>& values) {
  return std::string(reinterpret_cast<const char*>(values.data()), values.size() * sizeof(T));
}

template <typename T>
std::string NpyVector(const std::string& descr, const std::vector<T>& values) {
  return NpyArray(descr, "(" + std::to_string(values.size()) + ",)", RawBytes(values));
}

// Deflate at `level`: raw (for zip members) or with a gzip wrapper.
inline std::string Deflate(const std::string& data, bool gzip, int level = 6) {
  z_stream stream{};
  if (deflateInit2(&stream, level, Z_DEFLATED, gzip ? 16 + MAX_WBITS : -MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
    throw std::runtime_error("deflateInit2");
  }
  std::string out(deflateBound(&stream, data.size()), '\0');
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  stream.avail_in = static_cast<uInt>(data.size());
  stream.next_out = reinterpret_cast<Bytef*>(out.data());
  stream.avail_out = static_cast<uInt>(out.size());
  const int status = deflate(&stream, Z_FINISH);
  deflateEnd(&stream);
  if (status != Z_STREAM_END) throw std::runtime_error("deflate");
  out.resize(stream.total_out);
  return out;
}

inline std::string Gzip(const std::string& data, int level = 6) { return Deflate(data, true, level); }

// A zip archive of named members, each stored or deflated.
inline std::string Zip(const std::vector<std::pair<std::string, std::string>>& members, bool deflated) {
  const auto le = [](std::uint64_t value, int bytes) {
    std::string out;
    for (int k = 0; k < bytes; ++k) out += static_cast<char>((value >> (8 * k)) & 0xFF);
    return out;
  };
  std::string archive;
  std::string directory;
  for (const auto& [name, data] : members) {
    const std::string stored = deflated ? Deflate(data, false) : data;
    const auto crc = crc32(0, reinterpret_cast<const Bytef*>(data.data()), static_cast<uInt>(data.size()));
    const std::string common = le(20, 2) + le(0, 2) + le(deflated ? 8 : 0, 2) + le(0, 2) + le(0x21, 2) + le(crc, 4) +
                               le(stored.size(), 4) + le(data.size(), 4) + le(name.size(), 2) + le(0, 2);
    directory += le(0x02014b50, 4) + le(20, 2) + common + le(0, 2) + le(0, 2) + le(0, 2) + le(0, 4) +
                 le(archive.size(), 4) + name;
    archive += le(0x04034b50, 4) + common + name + stored;
  }
  const std::size_t directory_offset = archive.size();
  archive += directory;
  archive += le(0x06054b50, 4) + le(0, 2) + le(0, 2) + le(members.size(), 2) + le(members.size(), 2) +
             le(directory.size(), 4) + le(directory_offset, 4) + le(0, 2);
  return archive;
}

// What save_npz writes for an N-by-N sparse matrix in `format` (csr, csc or coo):
// csr and csc give indptr, indices; coo gives row, col. Indices are int32. The format
// name is bytes ('S') as save_npz stores it, or with `unicode` UTF-32 ('U') as NumPy
// stores a str.
inline std::string SparseNpz(const std::string& format, std::int64_t n, const std::vector<std::int32_t>& first,
                             const std::vector<std::int32_t>& second, const std::vector<double>& data, bool deflated,
                             bool unicode = false) {
  std::vector<std::pair<std::string, std::string>> members;
  if (format == "coo") {
    members.emplace_back("row.npy", NpyVector("<i4", first));
    members.emplace_back("col.npy", NpyVector("<i4", second));
  } else {
    members.emplace_back("indices.npy", NpyVector("<i4", first));
    members.emplace_back("indptr.npy", NpyVector("<i4", second));
  }
  std::string utf32;
  for (const char c : format) utf32 += std::string(1, c) + std::string(3, '\0');
  members.emplace_back("format.npy", unicode ? NpyArray("<U" + std::to_string(format.size()), "()", utf32)
                                             : NpyArray("|S" + std::to_string(format.size()), "()", format));
  members.emplace_back("shape.npy", NpyVector("<i8", std::vector<std::int64_t>{n, n}));
  members.emplace_back("data.npy", NpyVector("<f8", data));
  return Zip(members, deflated);
}

}  // namespace tsne_test
