// Files as they come: compressed in one member or several, with CRLF ends or none at
// the end, .npy in either order and precision, and files that are damaged, lie about
// their size, or shrink while they are read. Each reads to the bits of the plain file,
// or is refused with a message that names it.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "core/input_error.hpp"
#include "formats/affinities_file.hpp"
#include "formats/embedding_file.hpp"
#include "sparse_files.hpp"
#include "temporary_folder.hpp"

namespace tsne_test {
namespace {

namespace fs = std::filesystem;
using tsneloss::formats::ParallelReading;

const ParallelReading kOneBlock{1, std::size_t{1} << 24, std::size_t{1} << 24, {}};
// Blocks shorter than some lines, pieces of a line or two.
const ParallelReading kSmallBlocks{3, 16, 1, {}};

const std::string kBanner = "%%MatrixMarket matrix coordinate real general\n";

std::string CorruptAt(std::string bytes, std::size_t from_end) {
  bytes[bytes.size() - from_end] ^= 0x01;
  return bytes;
}

class TextFiles : public ::testing::Test {
 protected:
  std::string Write(const std::string& name, const std::string& bytes) { return dir_.Write(name, bytes).string(); }

  // The embedding's shape and every coordinate's bits, or the message.
  static std::string Embedding(const std::string& path, const ParallelReading& reading = kOneBlock) {
    try {
      tsneloss::formats::InputSource source(path);
      const auto y = tsneloss::formats::ReadEmbedding(source, false, reading);
      std::string out = std::to_string(y.n) + "x" + std::to_string(y.d) + ":";
      for (const double v : y.coordinates) out += " " + std::to_string(std::bit_cast<std::uint64_t>(v));
      return out;
    } catch (const tsneloss::core::InputError& error) {
      return error.what();
    }
  }

  // P packed, every value's bits, or the message.
  static std::string Affinities(const std::string& path, std::uint64_t n, const ParallelReading& reading = kOneBlock) {
    try {
      tsneloss::formats::InputSource source(path);
      const auto p = tsneloss::formats::ReadAffinities(source, {n, 2, "y"}, reading);
      std::string out = "merged " + std::to_string(p.merged_positions) + ":";
      for (std::size_t k = 0; k < p.values.size(); ++k) {
        out += " " + std::to_string(p.row_indices[k]) + "=" + std::to_string(std::bit_cast<std::uint64_t>(p.values[k]));
      }
      for (const double count : p.column_counts) out += " c" + std::to_string(count);
      return out;
    } catch (const tsneloss::core::InputError& error) {
      return error.what();
    }
  }

  tsne_test::TemporaryFolder dir_;
};

TEST_F(TextFiles, OddButValidFilesGiveThePlainFilesBits) {
  const std::string points = "# three points\n0.5 -1.25\n\n3 1e-300\n-0 7.75\n";
  const std::string plain_y = Embedding(Write("y.txt", points));
  ASSERT_EQ(plain_y.rfind("3x2:", 0), 0u) << plain_y;
  const std::string entries = kBanner + "% a comment\n3 3 4\n2 1 0.25\n1 2 0.25\n3 1 0.125\n1 3 0.375\n";
  const std::string plain_p = Affinities(Write("p.mtx", entries), 3);
  ASSERT_EQ(plain_p.rfind("merged 0:", 0), 0u) << plain_p;
  const auto crlf = [](const std::string& text) {
    std::string out;
    for (const char c : text) out += c == '\n' ? std::string("\r\n") : std::string(1, c);
    return out;
  };
  // Split mid-line: the members' concatenation is what counts.
  const auto two_members = [](const std::string& text) {
    return Gzip(text.substr(0, text.size() / 2 + 1)) + Gzip(text.substr(text.size() / 2 + 1));
  };
  struct Case {
    const char* name;
    std::string y;
    std::string p;
  };
  const Case cases[] = {
      {"gzip", Gzip(points), Gzip(entries)},
      {"two gzip members", two_members(points), two_members(entries)},
      {"an empty member first", Gzip("") + Gzip(points), Gzip("") + Gzip(entries)},
      {"CRLF", crlf(points), crlf(entries)},
      {"no final newline", points.substr(0, points.size() - 1), entries.substr(0, entries.size() - 1)},
      {"long comment", "# " + std::string(100, 'x') + "\n" + points, entries + "% " + std::string(100, 'x') + "\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string y = Write("odd_y", c.y);
    const std::string p = Write("odd_p", c.p);
    for (const ParallelReading& reading : {kOneBlock, kSmallBlocks}) {
      EXPECT_EQ(Embedding(y, reading), plain_y);
      EXPECT_EQ(Affinities(p, 3, reading), plain_p);
    }
  }
}

TEST_F(TextFiles, NpyInEitherOrderAndPrecisionGivesTheTextFilesBits) {
  // Three points of two coordinates, each exact in float32.
  const std::vector<double> c_order = {0.5, -1.25, 3, 0.125, -0.0, 7.75};
  const std::vector<double> fortran = {0.5, 3, -0.0, -1.25, 0.125, 7.75};
  const std::string text = Embedding(Write("y.txt", "0.5 -1.25\n3 0.125\n-0 7.75\n"));
  const auto single = [](const std::vector<double>& values) { return RawBytes(std::vector<float>(values.begin(), values.end())); };
  const std::pair<const char*, std::string> cases[] = {
      {"C float64", NpyArray("<f8", "(3, 2)", RawBytes(c_order))},
      {"Fortran float64", NpyArray("<f8", "(3, 2)", RawBytes(fortran), true)},
      {"C float32", NpyArray("<f4", "(3, 2)", single(c_order))},
      {"Fortran float32", NpyArray("<f4", "(3, 2)", single(fortran), true)},
  };
  for (const auto& [name, file] : cases) {
    SCOPED_TRACE(name);
    EXPECT_EQ(Embedding(Write("y.npy", file)), text);
    EXPECT_EQ(Embedding(Write("y.npy.gz", Gzip(file))), text);
    // Told by its first byte, whatever its name.
    EXPECT_EQ(Embedding(Write("y.data", Gzip(file) + Gzip(""))), text);
  }
}

// Each real type NumPy writes reads as NumPy's astype(float64) gives it: integers
// past 2^53 rounded to nearest, float16 subnormals exact, either byte order.
TEST_F(TextFiles, NpyOfEveryRealTypeGivesNumPysFloat64) {
  const auto bytes = [](auto values, bool swapped) {
    std::string raw = RawBytes(values);
    const std::size_t size = sizeof(values[0]);
    for (std::size_t at = 0; swapped && at < raw.size(); at += size) std::reverse(raw.begin() + at, raw.begin() + at + size);
    return raw;
  };
  const std::string small = "0 -1\n3 2\n-7 5\n";
  const std::string unsigned_small = "0 1\n3 2\n7 5\n";
  const struct {
    const char* descr;
    std::string data;
    std::string text;  // the same values written out
  } cases[] = {
      {"|b1", std::string("\1\0\0\1", 4), "1 0\n0 1\n"},
      {"|i1", bytes(std::vector<std::int8_t>{0, -1, 3, 2, -7, 5}, false), small},
      {">i2", bytes(std::vector<std::int16_t>{0, -1, 3, 2, -7, 5}, true), small},
      {"<i4", bytes(std::vector<std::int32_t>{0, -1, 3, 2, -7, 5}, false), small},
      {">i8", bytes(std::vector<std::int64_t>{0, -1, 3, 2, -7, 5}, true), small},
      {"<i8", bytes(std::vector<std::int64_t>{9007199254740993, 1, -9007199254740995, 1}, false),
       "9007199254740992 1\n-9007199254740996 1\n"},
      {"|u1", bytes(std::vector<std::uint8_t>{0, 1, 3, 2, 7, 5}, false), unsigned_small},
      {">u4", bytes(std::vector<std::uint32_t>{0, 1, 3, 2, 7, 5}, true), unsigned_small},
      {"<u8", bytes(std::vector<std::uint64_t>{18446744073709551615u, 1}, false), "18446744073709551616 1\n"},
      // 1, the smallest subnormal, -5, the largest float16.
      {"<f2", bytes(std::vector<std::uint16_t>{0x3C00, 0x0001, 0xC500, 0x7BFF}, false), "1 5.9604644775390625e-8\n-5 65504\n"},
      {">f2", bytes(std::vector<std::uint16_t>{0x3C00, 0x0001, 0xC500, 0x7BFF}, true), "1 5.9604644775390625e-8\n-5 65504\n"},
      {">f4", bytes(std::vector<float>{0.1f, -2}, true), "0.100000001490116119384765625 -2\n"},
      {">f8", bytes(std::vector<double>{0.1, -2}, true), "0.1 -2\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.descr);
    const auto n = std::count(c.text.begin(), c.text.end(), '\n');
    const std::string shape = "(" + std::to_string(n) + ", 2)";
    EXPECT_EQ(Embedding(Write("y.npy", NpyArray(c.descr, shape, c.data))), Embedding(Write("y.txt", c.text)));
  }
}

// Commas with spaces or tabs around them separate once; two commas hold an empty
// field, refused where it is, in an embedding as in P, whichever way the line is read.
TEST_F(TextFiles, AnEmptyFieldIsRefusedWithItsPlace) {
  EXPECT_EQ(Embedding(Write("y.txt", "0 , 1\n3,\t4\n")), Embedding(Write("plain.txt", "0 1\n3 4\n")));
  EXPECT_EQ(Affinities(Write("p.mtx", kBanner + "2 2 2\n1,2,0.5\n2 ,1, 0.5\n"), 2),
            Affinities(Write("plain.mtx", kBanner + "2 2 2\n1 2 0.5\n2 1 0.5\n"), 2));
  const std::string empty = ": an empty field: a comma with no number before or after it";
  const struct {
    const char* name;
    std::string bytes;
    std::string says;  // after the file's name
    bool affinities;
  } cases[] = {
      {"between commas", "0,1\n3,,4\n", ":2:3" + empty, false},
      {"only blanks between commas", "0,1\n3, \t,4\n", ":2:5" + empty, false},
      {"a leading comma", "0 1\n,3 4\n", ":2:1" + empty, false},
      {"a trailing comma", "0 1\n3 4,\n", ":2:5" + empty, false},
      {"a trailing comma before CRLF", "0 1\r\n3 4,\r\n", ":2:5" + empty, false},
      {"an entry's", kBanner + "2 2 1\n1,,2 0.5\n", ":3:3" + empty, true},
      {"after an entry's value", kBanner + "2 2 1\n1 2 0.5,\n", ":3:9" + empty, true},
      {"an array value's", "%%MatrixMarket matrix array real general\n2 2\n,0.5\n0\n0\n0\n", ":3:1" + empty, true},
      {"the size line's", kBanner + "2,,2 1\n1 2 0.5\n", ":2:3" + empty, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = Write("empty", c.bytes);
    for (const ParallelReading& reading : {kOneBlock, kSmallBlocks}) {
      const std::string got = c.affinities ? Affinities(path, 2, reading) : Embedding(path, reading);
      EXPECT_EQ(got, path + c.says);
    }
  }
}

TEST_F(TextFiles, HostileFilesAreRefusedByName) {
  const std::string points = "0.5 -1.25\n3 0.125\n";
  const std::string data = RawBytes(std::vector<double>{0.5, -1.25, 3, 0.125});
  const std::string npy = NpyArray("<f8", "(2, 2)", data);
  std::string long_header = "{'descr': '<f8', 'fortran_order': False, 'shape': (2, 2), }" + std::string(10000, ' ');
  long_header += '\n';
  const std::string long_npy = std::string("\x93NUMPY\x01\x00", 8) + static_cast<char>(long_header.size() & 0xFF) +
                               static_cast<char>(long_header.size() >> 8) + long_header + data;
  // Versions 2 and 3 keep the header length in four bytes: the same header, 65536
  // bytes longer by its high bytes.
  const std::string four_byte_length =
      std::string("\x93NUMPY\x02\x00", 8) + npy.substr(8, 2) + std::string("\x01\x00", 2) + npy.substr(10);
  const std::string more = "the file holds less data than its shape '(2, 2)' needs";
  struct Case {
    const char* name;
    std::string bytes;
    std::string says;  // after the file's name
    bool affinities = false;
  };
  const Case cases[] = {
      {"gzip with a bad CRC", CorruptAt(Gzip(points), 8), ": the gzip data is corrupt (incorrect data check)"},
      {"gzip with a bad length", CorruptAt(Gzip(points), 4), ": the gzip data is corrupt (incorrect length check)"},
      {"gzip with a bad CRC in the second member", Gzip(points) + CorruptAt(Gzip(points), 8),
       ": the gzip data is corrupt (incorrect data check)"},
      {"gzip truncated", Gzip(points).substr(0, Gzip(points).size() - 3), ": the gzip data ends too early"},
      {"gzip followed by junk", Gzip(points) + "junk", ": the gzip data is corrupt (incorrect header check)"},
      {".npy of shape (16777216, 0)", NpyArray("<f8", "(16777216, 0)", ""),
       ": the embedding's points have no coordinates (D = 0)"},
      {".npy of shape (0, 2)", NpyArray("<f8", "(0, 2)", ""), ": the embedding holds no points"},
      {".npy of a shape overflowing", NpyArray("<f8", "(4294967296, 4294967296)", ""),
       ": the array's shape '(4294967296, 4294967296)' is too large"},
      {".npy header over 10000 bytes", long_npy, ": the file has a .npy header of 10060 bytes; at most 10000 are read"},
      {".npy version 2 header over 65535 bytes", four_byte_length,
       ": the file has a .npy header of 65654 bytes; at most 10000 are read"},
      {".npy with trailing bytes", npy + "xyz", ": the file holds 3 bytes more than its shape '(2, 2)' needs"},
      {".npy.gz with trailing bytes", Gzip(npy + "xyz"), ": the file holds 3 bytes more than its shape '(2, 2)' needs"},
      {".npy short of data", npy.substr(0, npy.size() - 1), ": " + more},
      {".npy.gz short of data", Gzip(npy.substr(0, npy.size() - 1)), ": " + more},
      {".npy.gz declaring far more", Gzip(NpyArray("<f8", "(100000000, 2)", data)),
       ": the file holds less data than its shape '(100000000, 2)' needs"},
      {".npy header truncated", npy.substr(0, 40), ": the .npy header is truncated"},
      {".npy of complex values", NpyArray("<c16", "(1, 2)", data), ": values of type '<c16' are not supported; they must be real numbers"},
      {".npy of strings", NpyArray("<U1", "(2, 2)", data), ": values of type '<U1' are not supported; they must be real numbers"},
      {".npy of 12-byte floats", NpyArray("<f12", "(1, 2)", data.substr(0, 24)), ": the array's dtype is '<f12'; an array of booleans"},
      {"gzip'd twice", Gzip(Gzip(kBanner)), ":1:1: the header is not", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string name = std::string(c.name).find(".npy") == 0 ? "hostile.npy" : "hostile";
    const std::string path = Write(name, c.bytes);
    const std::string got = c.affinities ? Affinities(path, 2) : Embedding(path);
    EXPECT_EQ(got.substr(0, path.size() + c.says.size()), path + c.says) << got;
  }
  const std::string missing = (dir_ / "none.txt").string();
  EXPECT_EQ(Embedding(missing), missing + ": cannot open the file: No such file or directory");
}

TEST_F(TextFiles, TheLastLineReadsTheSameWithOrWithoutItsNewline) {
  struct Case {
    const char* name;
    std::string text;  // without the final newline
    std::string says;  // after the file's name; empty: read
    bool affinities;
  };
  const Case cases[] = {
      {"text ending in a comment", "1 2\n3 4\n# end", "", false},
      {"text ending in a blank", "1 2\n3 4\n  \t", "", false},
      {"text of a comment only", "# nothing", ": the file holds no points", false},
      {"text of a blank only", " ", ": the file holds no points", false},
      {"text ending in a bad point", "1 2\n3", ":2:2: this point has 1 coordinate, the first had 2", false},
      {"MM ending in a comment", kBanner + "2 2 1\n1 2 0.5\n% end", "", true},
      {"MM of a banner and a comment", kBanner + "% c", ":3:1: the size line (rows columns entries) is missing", true},
      {"MM of a banner and a blank", kBanner + "   ", ":3:1: the size line (rows columns entries) is missing", true},
      {"MM of a banner only", kBanner.substr(0, kBanner.size() - 1), ":2:1: the size line", true},
      {"MM ending in the size line", kBanner + "% c\n2 2 0", ": P has no stored entries", true},
      {"MM ending in a short entry", kBanner + "2 2 1\n1     2", ":3:8: an entry needs three fields", true},
      {"MM ending in an entry", kBanner + "2 2 1\n1 2 0.5", "", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    for (const ParallelReading& reading : {kOneBlock, kSmallBlocks}) {
      for (const bool gzip : {false, true}) {
        const std::string without = Write("without", gzip ? Gzip(c.text) : c.text);
        const std::string with = Write("with", gzip ? Gzip(c.text + "\n") : c.text + "\n");
        const auto read = [&](const std::string& path) {
          const std::string got = c.affinities ? Affinities(path, 2, reading) : Embedding(path, reading);
          return got.rfind(path, 0) == 0 ? got.substr(path.size()) : got;
        };
        const std::string got = read(without);
        EXPECT_EQ(read(with), got);
        if (c.says.empty()) {
          EXPECT_EQ(got.find(':'), got.find(": "));  // no message of a file
        } else {
          EXPECT_EQ(got.substr(0, c.says.size()), c.says);
        }
      }
    }
  }
}

TEST_F(TextFiles, LineNumbersStayRightAfterALineLongerThanABlock) {
  const std::string long_comment = "# " + std::string(300, 'x') + "\n";
  const std::string y = "1 2\n" + long_comment + "3 4\n" + long_comment + "5 x\n";
  const std::string p = kBanner + "2 2 3\n1 2 0.5\n%" + long_comment + "2 1 0.5\n" + "%" + long_comment + "2 2 -1\n";
  for (const bool gzip : {false, true}) {
    SCOPED_TRACE(gzip);
    const std::string y_path = Write("long_y", gzip ? Gzip(y) : y);
    const std::string p_path = Write("long_p", gzip ? Gzip(p) : p);
    EXPECT_EQ(Embedding(y_path, kSmallBlocks), y_path + ":5:3: 'x' is not a number");
    EXPECT_EQ(Affinities(p_path, 2, kSmallBlocks), p_path + ":7:5: a value of P is -1; values of P must be finite and not negative");
  }
}

TEST_F(TextFiles, AHighlyCompressibleFileIsNotTakenForABomb) {
  // The shortest entry line, repeated: deflate packs it near its largest ratio.
  std::string entries = kBanner + "2 2 300000\n";
  for (int k = 0; k < 300000; ++k) entries += "1 2 1\n";
  const std::string plain = Affinities(Write("p.mtx", entries), 2);
  ASSERT_EQ(plain.rfind("merged 1:", 0), 0u) << plain.substr(0, 200);
  EXPECT_EQ(Affinities(Write("p.mtx.gz", Gzip(entries, 9)), 2), plain);
}

TEST_F(TextFiles, AFileThatShrinksWhileReadIsRefusedByName) {
  // Numbers enough for several blocks; the file is cut to nothing as soon as the
  // first block's pieces go to their threads.
  std::string points;
  for (int k = 0; k < 4000; ++k) points += std::to_string(k) + ".5 " + std::to_string(k % 7) + "\n";
  std::string entries = kBanner + "4000 4000 4000\n";
  for (int k = 1; k <= 4000; ++k) entries += std::to_string(k) + " " + std::to_string(4001 - k) + " 0.25\n";
  struct Case {
    const char* name;
    std::string bytes;
    bool affinities;
  };
  const Case cases[] = {
      {"mapped text", points, false},
      {"mapped Matrix Market", entries, true},
      {"gzip'd text larger than a read", Gzip(points + std::string(1, '#') + std::string(3 << 20, 'q'), 0), false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = Write("shrinking", c.bytes);
    bool cut = false;
    const ParallelReading reading{2, 4096, 1, [&](std::function<void()> body) {
                                    if (!cut) {
                                      EXPECT_EQ(::truncate(path.c_str(), 0), 0);
                                      cut = true;
                                    }
                                    return std::thread(std::move(body));
                                  }};
    const std::string got = c.affinities ? Affinities(path, 4000, reading) : Embedding(path, reading);
    EXPECT_TRUE(cut);
    EXPECT_EQ(got, path + ": the file shrank while it was read");
  }
}

}  // namespace
}  // namespace tsne_test
