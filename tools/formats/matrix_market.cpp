#include "formats/matrix_market.hpp"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <cstdint>
#include <cmath>
#include <optional>
#include <vector>

#include "core/input_error.hpp"
#include "core/input_rules.hpp"
#include "support/text.hpp"
#include "formats/text_fields.hpp"

namespace tsneloss {
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
    throw InputError(name, 1, 1, "the header is not '" + kExpectedBanner + "'" + GuessWhatItIs(line));
  }
  const std::string field = Lower(banner[3].text);
  const std::string symmetry = Lower(banner[4].text);
  if (field != "real" && field != "integer") {
    throw InputError(name, 1, banner[3].column,
                     "values of type " + support::Shown(banner[3].text) + " are not supported; real or integer is needed");
  }
  if (symmetry != "general" && symmetry != "symmetric") {
    throw InputError(name, 1, banner[4].column,
                     support::Shown(banner[4].text) + " matrices are not supported; general or symmetric is needed");
  }
  return {Lower(banner[2].text) == "array", symmetry == "symmetric"};
}

struct PieceFault {
  std::uint64_t line;
  std::size_t column;
  std::string message;
};

// What one thread made of a piece of text: its entries (mirrors of a symmetric
// file's included), the line of each entry given, and the first fault, where the
// piece stops.
struct Piece {
  std::vector<std::int64_t> rows;
  std::vector<std::int64_t> columns;
  std::vector<double> values;
  std::vector<std::uint32_t> entry_lines;  // one-based within the piece
  std::uint64_t lines = 0;
  std::optional<PieceFault> fault;

  std::uint64_t given() const { return entry_lines.size(); }
  void Clear() {
    rows.clear();
    columns.clear();
    values.clear();
    entry_lines.clear();
    lines = 0;
    fault.reset();
  }
};

// The value field of an entry, or the fault's message.
std::optional<std::string> ParseAffinity(const Field& field, double& value) {
  if (!ParseDouble(field.text, value)) return support::Shown(field.text) + " is not a number";
  if (!AffinityAllowed(value)) return AffinityFault(value);
  return std::nullopt;
}

// An entry's three fields read and checked, or the first fault, field by field:
// the row (not a whole number, or out of range), then the column, then the value.
std::optional<PieceFault> ParseEntryFields(const Field* fields, std::uint64_t n, std::uint32_t line_number,
                                           unsigned long long (&place)[2], double& value) {
  // A field that cannot be read stands in as a valid one, so the one check of an
  // entry says which of those read breaks a rule; the earlier field is reported.
  int unreadable = 3;
  for (int k = 0; k < 2; ++k) {
    if (!ParseCount(fields[k].text, place[k])) {
      place[k] = 1;
      if (unreadable == 3) unreadable = k;
    }
  }
  const bool value_read = ParseDouble(fields[2].text, value);
  if (!value_read) {
    value = 0;
    if (unreadable == 3) unreadable = 2;
  }
  // Whole numbers of up to 20 digits: beyond int64 they are out of range anyway.
  const auto index = [&](int k) {
    return place[k] > static_cast<unsigned long long>(INT64_MAX) ? std::int64_t{-1}
                                                                   : static_cast<std::int64_t>(place[k]) - 1;
  };
  const EntryPart broken = FirstFault(index(0), index(1), value, n);
  const int broken_field = broken == EntryPart::kNone ? 3 : static_cast<int>(broken) - 1;
  if (unreadable <= broken_field && unreadable < 3) {
    const Field& field = fields[unreadable];
    return PieceFault{line_number, field.column,
                      support::Shown(field.text) + (unreadable < 2 ? " is not a whole number" : " is not a number")};
  }
  if (broken_field == 3) return std::nullopt;
  const Field& field = fields[broken_field];
  if (broken == EntryPart::kValue) return PieceFault{line_number, field.column, AffinityFault(value)};
  return PieceFault{line_number, field.column, OutsideRange(field.text, n, true)};
}

// Up to 18 decimal digits, which cannot overflow; false for anything else.
std::from_chars_result ParseShortWhole(const char* at, const char* end, unsigned long long& value) {
  const char* const first = at;
  unsigned long long whole = 0;
  for (; at != end && at - first < 18 && static_cast<unsigned char>(*at - '0') < 10; ++at) {
    whole = whole * 10 + static_cast<unsigned char>(*at - '0');
  }
  if (at == first || (at != end && static_cast<unsigned char>(*at - '0') < 10)) return {first, std::errc::invalid_argument};
  value = whole;
  return {at, std::errc()};
}

// The usual entry line, "row column value" with single separators and nothing odd,
// read without splitting it first. False when the line is anything else: the general
// path then reads it and names any fault. Whatever it accepts, the general path
// would read to the same numbers.
bool ParsePlainEntry(const char* at, const char* const end, unsigned long long& row, unsigned long long& column,
                     double& value, const char*& next_line) {
  // Numbers stop at a line's end: `end` is the piece's.
  const auto separated = [&](const char* stop) {
    if (stop == end || !IsSeparator(*stop)) return false;
    at = stop;
    while (at != end && IsSeparator(*at)) ++at;
    return true;
  };
  auto parsed = ParseShortWhole(at, end, row);
  if (parsed.ec != std::errc() || !separated(parsed.ptr)) return false;
  parsed = ParseShortWhole(at, end, column);
  if (parsed.ec != std::errc() || !separated(parsed.ptr)) return false;
  const auto number = std::from_chars(at, end, value);
  if (number.ec != std::errc()) return false;
  at = number.ptr;
  while (at != end && IsSeparator(*at)) ++at;
  // A '\r' right before the line's end is no field.
  if (at != end && *at == '\r' && (at + 1 == end || at[1] == '\n')) ++at;
  if (at == end) {
    next_line = end;
    return true;
  }
  next_line = at + 1;
  return *at == '\n';
}

void ParseCoordinatePiece(std::string_view text, std::uint64_t n, bool symmetric, Piece& piece) {
  const char* at = text.data();
  const char* const end = at + text.size();
  std::uint32_t line_number = 0;
  Field fields[4];
  while (at < end) {
    ++line_number;
    unsigned long long place[2];
    double value;
    const char* next_line = nullptr;
    // Short whole numbers (up to 18 digits) fit int64.
    const bool plain = ParsePlainEntry(at, end, place[0], place[1], value, next_line) &&
                       FirstFault(static_cast<std::int64_t>(place[0]) - 1, static_cast<std::int64_t>(place[1]) - 1,
                                  value, n) == EntryPart::kNone;
    if (plain) {
      at = next_line;
    } else {
      const auto* newline = static_cast<const char*>(std::memchr(at, '\n', static_cast<std::size_t>(end - at)));
      const char* const line_end = newline != nullptr ? newline : end;
      const std::string_view line(at, static_cast<std::size_t>(line_end - at));
      at = newline != nullptr ? newline + 1 : end;
      const std::size_t count = SplitFieldsInto(line, fields, 4);
      if (count == 0 || fields[0].text[0] == '%') continue;
      if (count != 3) {
        piece.fault = {line_number, count > 3 ? fields[3].column : line.size() + 1,
                       "an entry needs three fields: row column value"};
        break;
      }
      piece.fault = ParseEntryFields(fields, n, line_number, place, value);
      if (piece.fault) break;
    }
    const auto row = static_cast<std::int64_t>(place[0] - 1);
    const auto column = static_cast<std::int64_t>(place[1] - 1);
    piece.rows.push_back(row);
    piece.columns.push_back(column);
    piece.values.push_back(value);
    if (symmetric && row != column) {
      piece.rows.push_back(column);
      piece.columns.push_back(row);
      piece.values.push_back(value);
    }
    piece.entry_lines.push_back(line_number);
  }
  piece.lines = line_number;
}

// A dense file's values only: where each one goes depends on how many came before.
void ParseArrayPiece(std::string_view text, Piece& piece) {
  LineCursor cursor(text);
  std::string_view line;
  std::uint32_t line_number = 0;
  Field fields[2];
  while (cursor.Next(line)) {
    ++line_number;
    const std::size_t count = SplitFieldsInto(line, fields, 2);
    if (count == 0 || fields[0].text[0] == '%') continue;
    if (count != 1) {
      piece.fault = {line_number, fields[1].column, "a value line of an array file needs one field"};
      break;
    }
    double value;
    if (auto fault = ParseAffinity(fields[0], value)) {
      piece.fault = {line_number, fields[0].column, std::move(*fault)};
      break;
    }
    piece.values.push_back(value);
    piece.entry_lines.push_back(line_number);
  }
  piece.lines = line_number;
}

}  // namespace

struct MatrixMarketStream::State {
  State(InputSource& s, const ParallelReading& r) : source(s), reading(r) {}

  InputSource& source;
  ParallelReading reading;
  Banner banner{};
  std::uint64_t n = 0;
  std::uint64_t declared = 0;
  std::uint64_t header_lines = 0;
  std::optional<std::uint64_t> bound;
  std::unique_ptr<TextBlocks> blocks;
  std::string_view rest;  // the text after the size line in the block being read
  bool passed_once = false;
  // Standard input cannot be read twice: its entries are kept from the first pass.
  std::vector<Piece> kept;
  // Where the next value of a dense file goes.
  std::uint64_t next_row = 0;
  std::uint64_t next_column = 0;

  const std::string& name() const { return source.name(); }
  void ReadHeader(const EmbeddingShape& embedding);
  void ReadHeaderLines(const EmbeddingShape& embedding);
  void ReadEntries(const std::function<void(const EntryBlock&)>& take);
  void Take(Piece& piece, std::uint64_t& line_base, std::uint64_t& given,
            const std::function<void(const EntryBlock&)>& take);
  void PlaceDenseValues(Piece& piece);
};

void MatrixMarketStream::State::ReadHeader(const EmbeddingShape& embedding) {
  blocks = std::make_unique<TextBlocks>(source, reading.block_bytes);
  // Faults in a file cut short while mapped may come from the zeros standing for it.
  try {
    ReadHeaderLines(embedding);
  } catch (const InputError&) {
    blocks->ThrowIfShrunk();
    throw;
  }
}

void MatrixMarketStream::State::ReadHeaderLines(const EmbeddingShape& embedding) {
  std::string_view block;
  if (!blocks->Next(block)) throw InputError(name(), 1, 1, "the file is empty");
  LineCursor cursor(block);
  std::uint64_t header_bytes = 0;
  const auto next_line = [&](std::string_view& line) {
    while (!cursor.Next(line)) {
      if (!blocks->Next(block)) return false;
      cursor = LineCursor(block);
    }
    header_bytes += line.size() + 1;
    return true;
  };
  std::string_view line;
  next_line(line);
  banner = ReadBanner(std::string(line), name());

  // The size line: the first line that is not a comment.
  std::uint64_t line_number = 1;
  std::vector<Field> size_fields;
  while (next_line(line)) {
    ++line_number;
    size_fields = SplitFields(line);
    if (!size_fields.empty() && size_fields[0].text[0] != '%') break;
    size_fields.clear();
  }
  if (size_fields.empty()) throw InputError(name(), line_number + 1, 1, "the size line (rows columns entries) is missing");
  const std::size_t wanted = banner.dense ? 2 : 3;
  if (size_fields.size() != wanted) {
    throw InputError(name(), line_number, 1,
                     banner.dense ? "the size line of an array file needs two numbers: rows columns"
                                  : "the size line needs three numbers: rows columns entries");
  }
  unsigned long long sizes[3] = {0, 0, 0};
  for (std::size_t k = 0; k < wanted; ++k) {
    if (!ParseCount(size_fields[k].text, sizes[k])) {
      throw InputError(name(), line_number, size_fields[k].column, support::Shown(size_fields[k].text) + " is not a whole number");
    }
  }
  if (sizes[0] != sizes[1]) {
    throw InputError(name(), line_number, 1,
                     "P must be square; it is " + std::to_string(sizes[0]) + " by " + std::to_string(sizes[1]));
  }
  n = sizes[0];
  CheckSizesAgree(n, name(), embedding.points, embedding.dimension, embedding.name);
  if (banner.dense) {
    // The embedding's points are in memory, so n * n cannot overflow here.
    declared = banner.symmetric ? n * (n + 1) / 2 : n * n;
  } else {
    declared = sizes[2];
  }
  if (const auto stored = source.stored_size()) {
    const std::uint64_t shortest = banner.dense ? kShortestValueBytes : kShortestEntryBytes;
    const std::string declares = "the size line declares " + std::to_string(declared) +
                                 (banner.dense ? " values" : " entries") + ", more than ";
    const std::size_t column = banner.dense ? 1 : size_fields[2].column;
    if (source.compressed()) {
      if (*stored > UINT64_MAX / kLargestDeflateRatio || declared > (*stored * kLargestDeflateRatio) / shortest) {
        throw InputError(name(), line_number, column, declares + "the compressed file can hold");
      }
    } else {
      const std::uint64_t bytes_left = *stored > header_bytes ? *stored - header_bytes : 0;
      if (declared > (bytes_left + 1) / shortest) {
        throw InputError(name(), line_number, column,
                         declares + "the " + std::to_string(bytes_left) + " bytes after it can hold");
      }
    }
    // Checked against the file: room for this many can be set aside.
    bound = banner.dense ? n * n : (banner.symmetric ? 2 * declared : declared);
  }
  header_lines = line_number;
  rest = cursor.rest();
  next_row = 0;
  next_column = 0;
}

void MatrixMarketStream::State::PlaceDenseValues(Piece& piece) {
  // Column after column; a symmetric file gives the lower triangle only.
  const std::size_t count = piece.values.size();
  std::vector<double> values;
  values.swap(piece.values);
  for (std::size_t k = 0; k < count; ++k) {
    if (values[k] != 0) {
      const auto row = static_cast<std::int64_t>(next_row);
      const auto column = static_cast<std::int64_t>(next_column);
      piece.rows.push_back(row);
      piece.columns.push_back(column);
      piece.values.push_back(values[k]);
      if (banner.symmetric && row != column) {
        piece.rows.push_back(column);
        piece.columns.push_back(row);
        piece.values.push_back(values[k]);
      }
    }
    if (++next_row == n) next_row = banner.symmetric ? ++next_column : (++next_column, 0);
  }
}

void MatrixMarketStream::State::Take(Piece& piece, std::uint64_t& line_base, std::uint64_t& given,
                                     const std::function<void(const EntryBlock&)>& take) {
  if (passed_once && piece.fault) throw InputError(name(), "the file changed while it was read");
  // As a reading line by line meets them: an entry beyond the declared number first,
  // then the piece's own fault.
  const std::uint64_t room = declared - given;
  const std::string too_many = std::string("more ") + (banner.dense ? "values" : "entries") + " than the " +
                               std::to_string(declared) + " the size line gives";
  if (piece.given() > room) throw InputError(name(), line_base + piece.entry_lines[room], 1, too_many);
  if (piece.fault) {
    if (piece.given() == room) throw InputError(name(), line_base + piece.fault->line, 1, too_many);
    throw InputError(name(), line_base + piece.fault->line, piece.fault->column, piece.fault->message);
  }
  if (banner.dense) PlaceDenseValues(piece);
  if (!piece.values.empty()) take(EntryBlock{piece.rows, piece.columns, piece.values});
  given += piece.given();
  line_base += piece.lines;
}

MatrixMarketStream::MatrixMarketStream(InputSource& source, const EmbeddingShape& embedding,
                                       const ParallelReading& reading)
    : state_(std::make_unique<State>(source, reading)) {
  state_->ReadHeader(embedding);
}

MatrixMarketStream::~MatrixMarketStream() = default;

std::uint64_t MatrixMarketStream::n() const { return state_->n; }

std::optional<std::uint64_t> MatrixMarketStream::EntryBound() const { return state_->bound; }

void MatrixMarketStream::ForEach(const std::function<void(const EntryBlock&)>& take) {
  State& s = *state_;
  if (s.passed_once && !s.source.CanRewind()) {
    for (const Piece& piece : s.kept) {
      if (!piece.values.empty()) take(EntryBlock{piece.rows, piece.columns, piece.values});
    }
    return;
  }
  if (s.passed_once) {
    s.blocks.reset();
    s.source.Rewind();
    s.ReadHeader({s.n, 0, ""});
  }
  try {
    s.ReadEntries(take);
  } catch (const InputError&) {
    s.blocks->ThrowIfShrunk();
    throw;
  }
  s.passed_once = true;
}

void MatrixMarketStream::State::ReadEntries(const std::function<void(const EntryBlock&)>& take) {
  State& s = *this;
  const bool keep = !s.source.CanRewind();
  std::vector<Piece> pieces(s.reading.ThreadCount());
  std::uint64_t line_base = s.header_lines;
  std::uint64_t given = 0;
  const auto read_block = [&](std::string_view text) {
    ParseInPieces(
        text, s.reading,
        [&](std::size_t k, std::string_view piece) {
          pieces[k].Clear();
          if (s.banner.dense) {
            ParseArrayPiece(piece, pieces[k]);
          } else {
            ParseCoordinatePiece(piece, s.n, s.banner.symmetric, pieces[k]);
          }
        },
        [&](std::size_t k) {
          s.Take(pieces[k], line_base, given, take);
          if (keep) {
            pieces[k].entry_lines = {};
            s.kept.push_back(std::move(pieces[k]));
            pieces[k] = Piece{};
          }
        });
  };
  read_block(s.rest);
  std::string_view block;
  while (s.blocks->Next(block)) read_block(block);
  if (given < s.declared) {
    throw InputError(s.name(), line_base + 1, 1,
                     "the file ends after " + std::to_string(given) + " of " + std::to_string(s.declared) +
                         (s.banner.dense ? " values" : " entries"));
  }
}

}  // namespace tsneloss
