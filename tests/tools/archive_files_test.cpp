// .npz archives built byte by byte: odd but valid ones pack the same P as a plain one,
// bit for bit; hostile or corrupt ones are refused with the file and the fault named.
#include <gtest/gtest.h>

#include <zlib.h>

#include <filesystem>
#include <fstream>
#include <optional>

#include "bits.hpp"
#include "core/input_error.hpp"
#include "formats/affinities_file.hpp"
#include "sparse_files.hpp"
#include "temporary_folder.hpp"

namespace tsne_test {
namespace {

std::string Le(std::uint64_t value, int bytes) {
  std::string out;
  // Fields wider than 8 bytes are zero above the value.
  for (int k = 0; k < bytes; ++k) out += static_cast<char>(k < 8 ? (value >> (8 * k)) & 0xFF : 0);
  return out;
}

// One member, with the knobs a hostile archive turns.
struct Member {
  Member(std::string member_name, std::string member_content)
      : name(std::move(member_name)), content(std::move(member_content)) {}

  std::string name;
  std::string content;  // uncompressed
  bool deflated = false;
  std::optional<std::uint32_t> crc;        // in both headers, instead of the true one
  std::string local_name;                  // in the local header, when not empty
  std::optional<std::uint32_t> local_size; // uncompressed size in the local header
  bool descriptor = false;                 // flag bit 3: CRC and sizes after the data
  std::uint64_t size_bonus = 0;            // added to both sizes in both headers
  int same_offset_as = -1;                 // the directory points at that member's header
};

std::string BuildZip(const std::vector<Member>& members, const std::string& comment = "", bool zip64 = false) {
  const std::uint64_t saturated = 0xFFFFFFFF;
  std::string archive;
  std::string directory;
  std::vector<std::uint64_t> offsets;
  for (const Member& m : members) {
    const std::string stored = m.deflated ? Deflate(m.content, false) : m.content;
    const auto crc = m.crc.value_or(
        static_cast<std::uint32_t>(crc32(0, reinterpret_cast<const Bytef*>(m.content.data()), m.content.size())));
    const std::uint64_t compressed = stored.size() + m.size_bonus;
    const std::uint64_t size = m.content.size() + m.size_bonus;
    const std::uint64_t offset = m.same_offset_as >= 0 ? offsets[m.same_offset_as] : archive.size();
    offsets.push_back(archive.size());
    const std::string local_name = m.local_name.empty() ? m.name : m.local_name;
    const std::string method = Le(m.deflated ? 8 : 0, 2);
    const std::string flags = Le(m.descriptor ? 8 : 0, 2);
    const std::string local_extra = zip64 ? Le(1, 2) + Le(16, 2) + Le(size, 8) + Le(compressed, 8) : "";
    const std::uint64_t local_size = m.local_size.value_or(size);
    archive += Le(0x04034b50, 4) + Le(45, 2) + flags + method + Le(0, 2) + Le(0x21, 2) +
               (m.descriptor ? Le(0, 12)
                             : Le(crc, 4) + Le(zip64 ? saturated : compressed, 4) + Le(zip64 ? saturated : local_size, 4)) +
               Le(local_name.size(), 2) + Le(local_extra.size(), 2) + local_name + local_extra + stored;
    if (m.descriptor) archive += Le(0x08074b50, 4) + Le(crc, 4) + Le(compressed, 4) + Le(size, 4);
    const std::string extra = zip64 ? Le(1, 2) + Le(24, 2) + Le(size, 8) + Le(compressed, 8) + Le(offset, 8) : "";
    directory += Le(0x02014b50, 4) + Le(45, 2) + Le(45, 2) + flags + method + Le(0, 2) + Le(0x21, 2) + Le(crc, 4) +
                 Le(zip64 ? saturated : compressed, 4) + Le(zip64 ? saturated : size, 4) + Le(m.name.size(), 2) +
                 Le(extra.size(), 2) + Le(0, 10) + Le(zip64 ? saturated : offset, 4) + m.name + extra;
  }
  const std::uint64_t directory_offset = archive.size();
  archive += directory;
  const std::uint64_t count = members.size();
  if (zip64) {
    const std::uint64_t record = archive.size();
    archive += Le(0x06064b50, 4) + Le(44, 8) + Le(45, 2) + Le(45, 2) + Le(0, 8) + Le(count, 8) + Le(count, 8) +
               Le(directory.size(), 8) + Le(directory_offset, 8);
    archive += Le(0x07064b50, 4) + Le(0, 4) + Le(record, 8) + Le(1, 4);
  }
  archive += Le(0x06054b50, 4) + Le(0, 4) + Le(zip64 ? 0xFFFF : count, 2) + Le(zip64 ? 0xFFFF : count, 2) +
             Le(zip64 ? saturated : directory.size(), 4) + Le(zip64 ? saturated : directory_offset, 4) +
             Le(comment.size(), 2) + comment;
  return archive;
}

// A 1-D .npy array whose dictionary is quoted with `quote`, padded as NumPy pads it or
// to exactly `header_bytes`.
std::string Npy(const std::string& descr, std::size_t count, const std::string& data, char quote = '\'',
                std::size_t header_bytes = 0) {
  const std::string q(1, quote);
  std::string header = "{" + q + "descr" + q + ": " + q + descr + q + ", " + q + "fortran_order" + q + ": False, " + q +
                       "shape" + q + ": (" + std::to_string(count) + ",), }";
  if (header_bytes > 0) {
    header.resize(header_bytes - 1, ' ');
  } else {
    while ((10 + header.size() + 1) % 64 != 0) header += ' ';
  }
  header += '\n';
  return std::string("\x93NUMPY\x01\x00", 8) + Le(header.size(), 2) + header + data;
}

// P for three points: (row, column, value) = (0, 1, 1/4), (1, 0, 1/4), (2, 0, 1/8), (0, 2, 3/8).
const std::vector<std::int64_t> kRows = {0, 1, 2, 0};
const std::vector<std::int64_t> kColumns = {1, 0, 0, 2};
const std::vector<double> kValues = {0.25, 0.25, 0.125, 0.375};

template <typename T>
std::string Column(const std::vector<std::int64_t>& indices) {
  return RawBytes(std::vector<T>(indices.begin(), indices.end()));
}

// The members save_npz writes, the arrays given first.
std::vector<Member> Sparse(const std::string& format, std::vector<Member> arrays, bool deflated = false) {
  arrays.push_back({"format.npy", NpyArray("|S3", "()", format)});
  arrays.push_back({"shape.npy", NpyVector("<i8", std::vector<std::int64_t>{3, 3})});
  for (Member& member : arrays) member.deflated = deflated;
  return arrays;
}

std::vector<Member> Coo(bool deflated = false) {
  return Sparse("coo",
                {{"row.npy", Npy("<i4", 4, Column<std::int32_t>(kRows))},
                 {"col.npy", Npy("<i4", 4, Column<std::int32_t>(kColumns))},
                 {"data.npy", Npy("<f8", 4, RawBytes(kValues))}},
                deflated);
}

// The same P, compressed by rows.
std::vector<Member> Csr(bool deflated = false) {
  return Sparse("csr",
                {{"indices.npy", Npy("<i4", 4, RawBytes(std::vector<std::int32_t>{1, 2, 0, 0}))},
                 {"indptr.npy", Npy("<i4", 4, RawBytes(std::vector<std::int32_t>{0, 2, 3, 4}))},
                 {"data.npy", Npy("<f8", 4, RawBytes(std::vector<double>{0.25, 0.375, 0.25, 0.125}))}},
                deflated);
}

Member& Named(std::vector<Member>& members, const std::string& name) {
  for (Member& member : members) {
    if (member.name == name) return member;
  }
  throw std::logic_error("no member " + name);
}

template <typename Change>
std::vector<Member> With(std::vector<Member> members, const std::string& name, Change change) {
  change(Named(members, name));
  return members;
}

class ArchiveFiles : public ::testing::Test {
 protected:
  std::string Write(const std::string& bytes) { return dir_.Write("p.npz", bytes).string(); }
  tsneloss::core::SparseColumns Read(const std::string& bytes) {
    tsneloss::formats::InputSource source(Write(bytes));
    tsneloss::formats::ParallelReading one_thread;
    one_thread.threads = 1;
    return tsneloss::formats::ReadAffinities(source, tsneloss::core::EmbeddingShape{3, 2, "y"}, one_thread);
  }
  std::string Refusal(const std::string& bytes) {
    try {
      Read(bytes);
    } catch (const tsneloss::core::InputError& error) {
      return error.what();
    }
    return "(nothing thrown)";
  }

  tsne_test::TemporaryFolder dir_;
};

TEST_F(ArchiveFiles, OddButValidArchivesPackThePlainOnesBits) {
  const tsneloss::core::SparseColumns plain = Read(BuildZip(Coo()));
  EXPECT_EQ(plain.column_counts, (std::vector<double>{2, 1, 1}));
  EXPECT_EQ(plain.row_indices, (std::vector<double>{2, 3, 1, 1}));
  EXPECT_EQ(BitsOf(plain.values), BitsOf({0.25, 0.125, 0.25, 0.375}));

  // A comment holding a false end record, then filling the largest comment there is.
  std::string comment = Le(0x06054b50, 4) + std::string(18, '\0');
  comment.resize(0xFFFF, 'c');
  const auto indices = [](const std::string& descr, auto sample) {
    using T = decltype(sample);
    return Sparse("coo", {{"row.npy", Npy(descr, 4, Column<T>(kRows))},
                          {"col.npy", Npy(descr, 4, Column<T>(kColumns))},
                          {"data.npy", Npy("<f8", 4, RawBytes(kValues))}});
  };
  const std::vector<float> singles(kValues.begin(), kValues.end());
  std::vector<Member> descriptors = Coo(true);
  for (Member& member : descriptors) member.descriptor = true;
  struct Case {
    const char* name;
    std::string archive;
  };
  const Case cases[] = {
      {"deflated", BuildZip(Coo(true))},
      {"csr stored", BuildZip(Csr())},
      {"csr deflated", BuildZip(Csr(true))},
      {"comment of 64 KiB", BuildZip(Coo(), comment)},
      {"double-quoted headers", BuildZip(Sparse("coo", {{"row.npy", Npy("<i4", 4, Column<std::int32_t>(kRows), '"')},
                                                        {"col.npy", Npy("<i4", 4, Column<std::int32_t>(kColumns), '"')},
                                                        {"data.npy", Npy("<f8", 4, RawBytes(kValues), '"')}}))},
      {"data descriptors", BuildZip(descriptors)},
      {"zip64", BuildZip(Coo(true), "", true)},
      {"int64 indices", BuildZip(indices("<i8", std::int64_t{}))},
      {"uint32 indices", BuildZip(indices("<u4", std::uint32_t{}))},
      {"uint8 indices", BuildZip(indices("|u1", std::uint8_t{}))},
      {"float32 data", BuildZip(With(Coo(), "data.npy", [&](Member& m) { m.content = Npy("<f4", 4, RawBytes(singles)); }))},
      {"header of 10000 bytes", BuildZip(With(Coo(), "data.npy", [](Member& m) {
         m.content = Npy("<f8", 4, RawBytes(kValues), '\'', 10000);
       }))},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const tsneloss::core::SparseColumns read = Read(c.archive);
    EXPECT_EQ(BitsOf(read.column_counts), BitsOf(plain.column_counts));
    EXPECT_EQ(BitsOf(read.row_indices), BitsOf(plain.row_indices));
    EXPECT_EQ(BitsOf(read.values), BitsOf(plain.values));
  }
}

TEST_F(ArchiveFiles, HostileArchivesAreRefusedWithTheirFault) {
  const auto crc_of = [](const std::string& bytes) {
    return static_cast<std::uint32_t>(crc32(0, reinterpret_cast<const Bytef*>(bytes.data()), bytes.size()));
  };
  const auto wrong_crc = [&](Member& m) { m.crc = crc_of(m.content) ^ 1; };
  const std::string plain = BuildZip(Coo());
  struct Case {
    const char* name;
    std::string archive;
    std::string says;
  };
  const Case cases[] = {
      {"bad CRC, stored", BuildZip(With(Coo(), "data.npy", wrong_crc)),
       "member 'data.npy' fails its CRC-32 check: the archive is corrupt"},
      {"bad CRC, deflated", BuildZip(With(Coo(true), "col.npy", wrong_crc)),
       "member 'col.npy' fails its CRC-32 check: the archive is corrupt"},
      {"bad CRC in bytes left unread", BuildZip(With(Coo(), "data.npy", [&](Member& m) {
         m.content += std::string(8, '\0');
         wrong_crc(m);
       })),
       "member 'data.npy' fails its CRC-32 check: the archive is corrupt"},
      {"bad CRC before an entry's fault", BuildZip(With(
         With(Coo(), "row.npy", [](Member& m) { m.content = Npy("<i4", 4, Column<std::int32_t>({0, 1, 9, 0})); }),
         "data.npy", [&](Member& m) {
           m.content += std::string(8, '\0');
           wrong_crc(m);
         })),
       "member 'data.npy' fails its CRC-32 check: the archive is corrupt"},
      {"local name differs", BuildZip(With(Coo(), "col.npy", [](Member& m) { m.local_name = "cot.npy"; })),
       "member 'col.npy' is named 'cot.npy' in its local header: the archive is corrupt"},
      {"local size differs", BuildZip(With(Coo(), "data.npy", [](Member& m) { m.local_size = 7; })),
       "member 'data.npy' gives other sizes in its local header than in the directory: the archive is corrupt"},
      {"overlapping members", BuildZip(With(Coo(), "row.npy", [](Member& m) { m.size_bonus = 40; })),
       "members 'row.npy' and 'col.npy' overlap: the archive is corrupt"},
      {"two entries at the same data", BuildZip(With(Coo(), "data.npy", [](Member& m) { m.same_offset_as = 1; })),
       "members 'col.npy' and 'data.npy' overlap: the archive is corrupt"},
      {"duplicate names", BuildZip(With(Coo(), "shape.npy", [](Member& m) { m.name = "row.npy"; })),
       "the archive holds two members named 'row.npy'"},
      {"header over 10000 bytes", BuildZip(With(Coo(), "data.npy", [](Member& m) {
         m.content = Npy("<f8", 4, RawBytes(kValues), '\'', 10001);
       })),
       "array 'data' has a .npy header of 10001 bytes; at most 10000 are read"},
      {"data past the directory", BuildZip(With(Coo(), "shape.npy", [](Member& m) { m.size_bonus = 1; })),
       "member 'shape.npy' lies past the central directory"},
      {"truncated", plain.substr(0, plain.size() - 30), "not a zip archive this reader takes: no end of central directory"},
      {"coo col out of range", BuildZip(With(Coo(true), "col.npy", [](Member& m) {
         m.content = Npy("<i4", 4, Column<std::int32_t>({1, 0, 3, 2}));
       })),
       "element 2: 'col': index 3 is outside 0 to 2"},
      {"indptr not starting at 0", BuildZip(With(Csr(), "indptr.npy", [](Member& m) {
         m.content = Npy("<i4", 4, RawBytes(std::vector<std::int32_t>{1, 2, 3, 4}));
       })),
       "array 'indptr' starts at 1, not 0"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string says = (dir_ / "p.npz").string() + ": " + c.says;
    EXPECT_EQ(Refusal(c.archive), says);
  }
}

}  // namespace
}  // namespace tsne_test
