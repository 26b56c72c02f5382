#include "formats/matrix_market_header.hpp"

#include <algorithm>
#include <string>
#include <vector>

#include "core/input_error.hpp"
#include "core/input_messages.hpp"
#include "core/input_rules.hpp"
#include "formats/text_fields.hpp"
#include "support/text.hpp"

namespace tsneloss::formats {
namespace {

// The shortest entry line, "1 1 0\n", and the shortest value line, "0\n"; the last
// line may lack its newline.
constexpr std::uint64_t kShortestEntryBytes = 6;
constexpr std::uint64_t kShortestValueBytes = 2;
// Deflate makes at most about 1032 bytes of one: a compressed file holds no more.
constexpr std::uint64_t kLargestDeflateRatio = 1032;

const std::string kExpectedBanner =
    "%%MatrixMarket matrix (coordinate|array) (real|integer) (general|symmetric)";

std::string Lower(std::string_view text) {
  std::string lower(text);
  std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
  return lower;
}

// Why a first line that is no Matrix Market banner may be something else, or what P
// must be.
std::string GuessWhatItIs(const std::string& line) {
  if (line.rfind("\x1f\x8b", 0) == 0) return "; the file is gzip-compressed twice: decompress it once first";
  const std::string swapped = ": the files may be given the other way round (EMBEDDING first, then AFFINITIES)";
  if (line.rfind("\x93NUMPY", 0) == 0) return "; it is a .npy file" + swapped;
  const auto fields = SplitFields(line);
  double value;
  const bool numbers = !fields.empty() && std::all_of(fields.begin(), fields.end(), [&](const Field& field) {
                         return ParseDouble(field.text, value);
                       });
  if (numbers) return "; it looks like an embedding" + swapped;
  return "; P must be a Matrix Market file or a SciPy .npz archive";
}

struct Banner {
  bool dense;
  bool symmetric;
};

Banner ReadBanner(const std::string& line, const std::string& name) {
  const auto banner = SplitFields(line);
  if (banner.size() != 5 || banner[0].text != "%%MatrixMarket" || Lower(banner[1].text) != "matrix" ||
      (Lower(banner[2].text) != "coordinate" && Lower(banner[2].text) != "array")) {
    throw core::InputError(name, 1, 1, "the header is not '" + kExpectedBanner + "'" + GuessWhatItIs(line));
  }
  const std::string field = Lower(banner[3].text);
  const std::string symmetry = Lower(banner[4].text);
  if (field != "real" && field != "integer") {
    throw core::InputError(name, 1, banner[3].column,
                     "values of type " + support::Shown(banner[3].text) + " are not supported; real or integer is needed");
  }
  if (symmetry != "general" && symmetry != "symmetric") {
    throw core::InputError(name, 1, banner[4].column,
                     support::Shown(banner[4].text) + " matrices are not supported; general or symmetric is needed");
  }
  return {Lower(banner[2].text) == "array", symmetry == "symmetric"};
}

// The header's lines, across blocks where the comments run past one.
class HeaderLines {
 public:
  HeaderLines(TextBlocks& blocks, std::string_view first) : blocks_(blocks), block_(first), cursor_(first) {}

  bool Next(std::string_view& line) {
    while (!cursor_.Next(line)) {
      if (!blocks_.Next(block_)) return false;
      cursor_ = LineCursor(block_);
    }
    bytes_ += line.size() + 1;
    ++number_;
    return true;
  }
  std::uint64_t bytes() const { return bytes_; }
  std::uint64_t number() const { return number_; }  // of the last line read
  std::string_view rest() const { return cursor_.rest(); }

 private:
  TextBlocks& blocks_;
  std::string_view block_;
  LineCursor cursor_;
  std::uint64_t bytes_ = 0;
  std::uint64_t number_ = 0;
};

// The size line's fields: those of the first line that is not a comment.
std::vector<Field> FindSizeLine(HeaderLines& lines, const std::string& name) {
  std::string_view line;
  while (lines.Next(line)) {
    std::vector<Field> fields = SplitFields(line);
    if (!fields.empty() && !IsComment(fields[0], '%')) return fields;
  }
  throw core::InputError(name, lines.number() + 1, 1, "the size line (rows columns entries) is missing");
}

// The sizes on the size line: rows and columns, equal, then entries (coordinate files).
// An array file declares its values by its size alone.
void ReadSizes(const std::vector<Field>& fields, MatrixMarketHeader& header, std::uint64_t line,
               const std::string& name) {
  const std::size_t wanted = header.dense ? 2 : 3;
  if (const Field* empty = FirstEmpty(fields.data(), fields.size())) {
    throw core::InputError(name, line, empty->column, core::kEmptyField);
  }
  if (fields.size() != wanted) {
    throw core::InputError(name, line, 1,
                     header.dense ? "the size line of an array file needs two numbers: rows columns"
                                  : "the size line needs three numbers: rows columns entries");
  }
  unsigned long long sizes[3] = {0, 0, 0};
  for (std::size_t k = 0; k < wanted; ++k) {
    if (!ParseCount(fields[k].text, sizes[k])) {
      throw core::InputError(name, line, fields[k].column, support::Shown(fields[k].text) + " is not a whole number");
    }
  }
  if (sizes[0] != sizes[1]) throw core::InputError(name, line, 1, core::NotSquare(sizes[0], sizes[1]));
  header.n = sizes[0];
  header.declared = sizes[2];
}

// Where the file's size is known, the declared entries must fit in it (at their
// shortest) before room is set aside for them: then `bound` is set. `column` is where
// the size line declares them.
void CheckDeclaredFit(MatrixMarketHeader& header, const InputSource& source, std::uint64_t header_bytes,
                      std::size_t column) {
  const auto stored = source.stored_size();
  if (!stored) return;
  const std::uint64_t shortest = header.dense ? kShortestValueBytes : kShortestEntryBytes;
  const std::string declares = "the size line declares " +
                               (header.dense ? support::Counted(header.declared, "value")
                                             : support::Counted(header.declared, "entry", "entries")) +
                               ", more than ";
  if (source.compressed()) {
    if (*stored > UINT64_MAX / kLargestDeflateRatio || header.declared > (*stored * kLargestDeflateRatio) / shortest) {
      throw core::InputError(source.name(), header.lines, column, declares + "the compressed file can hold");
    }
  } else {
    const std::uint64_t bytes_left = *stored > header_bytes ? *stored - header_bytes : 0;
    if (header.declared > (bytes_left + 1) / shortest) {
      throw core::InputError(source.name(), header.lines, column,
                       declares + "the " + support::Counted(bytes_left, "byte") + " after it can hold");
    }
  }
  // Checked against the file: room for this many can be set aside.
  const std::uint64_t n = header.n;
  header.bound = header.dense ? n * n : (header.symmetric ? 2 * header.declared : header.declared);
}

}  // namespace

MatrixMarketHeader ReadMatrixMarketHeader(TextBlocks& blocks, const InputSource& source,
                                          const core::EmbeddingShape& embedding) {
  const std::string& name = source.name();
  std::string_view block;
  if (!blocks.Next(block)) throw core::InputError(name, 1, 1, "the file is empty");
  HeaderLines lines(blocks, block);
  std::string_view line;
  lines.Next(line);
  const Banner banner = ReadBanner(std::string(line), name);
  MatrixMarketHeader header;
  header.dense = banner.dense;
  header.symmetric = banner.symmetric;
  const std::vector<Field> size_fields = FindSizeLine(lines, name);
  header.lines = lines.number();
  ReadSizes(size_fields, header, header.lines, name);
  core::CheckSizesAgree(header.n, name, embedding.points, embedding.dimension, embedding.name);
  if (header.dense) {
    // The embedding's points are in memory, so n * n cannot overflow here.
    header.declared = header.symmetric ? header.n * (header.n + 1) / 2 : header.n * header.n;
  }
  CheckDeclaredFit(header, source, lines.bytes(), header.dense ? 1 : size_fields[2].column);
  header.rest = lines.rest();
  return header;
}

}  // namespace tsneloss::formats
