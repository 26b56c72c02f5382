#include "matrix_market.hpp"

#include <algorithm>
#include <vector>

#include "input_error.hpp"
#include "shown_token.hpp"
#include "text_fields.hpp"
#include "value_rules.hpp"

namespace tsneloss {
namespace {

// The shortest entry line, "1 1 0\n"; the last may lack its newline.
constexpr std::uint64_t kShortestEntryBytes = 6;

std::string Lower(std::string_view text) {
  std::string lower(text);
  std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
  return lower;
}

// Why a first line that is no Matrix Market banner may be something else; "" if unknown.
std::string GuessWhatItIs(const std::string& line) {
  if (line.rfind("\x1f\x8b", 0) == 0) return "; the file is gzip-compressed: decompress it first";
  const std::string swapped = ": the files may be given the other way round (EMBEDDING first, then AFFINITIES)";
  if (line.rfind("\x93NUMPY", 0) == 0) return "; it is a .npy file" + swapped;
  const auto fields = SplitFields(line);
  double value;
  const bool numbers = !fields.empty() && std::all_of(fields.begin(), fields.end(), [&](const Field& field) {
                         return ParseDouble(field.text, value);
                       });
  return numbers ? "; it looks like an embedding" + swapped : "";
}

struct Banner {
  bool symmetric;
};

Banner ReadBanner(const std::string& line, const std::string& name) {
  const auto banner = SplitFields(line);
  const std::string expected = "%%MatrixMarket matrix coordinate (real|integer) (general|symmetric)";
  if (banner.size() != 5 || banner[0].text != "%%MatrixMarket" || Lower(banner[1].text) != "matrix" ||
      Lower(banner[2].text) != "coordinate") {
    throw InputError(name, 1, 1, "the header is not '" + expected + "'" + GuessWhatItIs(line));
  }
  const std::string field = Lower(banner[3].text);
  const std::string symmetry = Lower(banner[4].text);
  if (field != "real" && field != "integer") {
    throw InputError(name, 1, banner[3].column,
                     "values of type " + Shown(banner[3].text) + " are not supported; real or integer is needed");
  }
  if (symmetry != "general" && symmetry != "symmetric") {
    throw InputError(name, 1, banner[4].column,
                     Shown(banner[4].text) + " matrices are not supported; general or symmetric is needed");
  }
  return {symmetry == "symmetric"};
}

}  // namespace

SparseColumns ReadMatrixMarket(InputSource& source, const EmbeddingShape& embedding) {
  std::istream& in = source.stream();
  const std::string& name = source.name();
  std::string line;
  std::size_t line_number = 1;
  if (!std::getline(in, line)) throw InputError(name, 1, 1, "the file is empty");
  const bool symmetric = ReadBanner(line, name).symmetric;

  // The size line: the first line that is not a comment.
  std::vector<Field> size_fields;
  while (std::getline(in, line)) {
    ++line_number;
    size_fields = SplitFields(line);
    if (!size_fields.empty() && size_fields[0].text[0] != '%') break;
    size_fields.clear();
  }
  if (size_fields.empty()) throw InputError(name, line_number + 1, 1, "the size line (rows columns entries) is missing");
  unsigned long long sizes[3];
  if (size_fields.size() != 3) throw InputError(name, line_number, 1, "the size line needs three numbers: rows columns entries");
  for (int k = 0; k < 3; ++k) {
    if (!ParseCount(size_fields[k].text, sizes[k])) {
      throw InputError(name, line_number, size_fields[k].column, Shown(size_fields[k].text) + " is not a whole number");
    }
  }
  if (sizes[0] != sizes[1]) {
    throw InputError(name, line_number, 1, "P must be square; it is " + std::to_string(sizes[0]) + " by " + std::to_string(sizes[1]));
  }
  const std::uint64_t n = sizes[0];
  const std::uint64_t declared = sizes[2];
  CheckSizesAgree(n, name, embedding.points, embedding.dimension, embedding.name);
  const auto bytes_left = source.BytesLeft();
  if (bytes_left && declared > (*bytes_left + 1) / kShortestEntryBytes) {
    throw InputError(name, line_number, size_fields[2].column,
                     "the size line declares " + std::to_string(declared) + " entries, more than the " +
                         std::to_string(*bytes_left) + " bytes after it can hold");
  }

  std::vector<std::int64_t> rows;
  std::vector<std::int64_t> columns;
  std::vector<double> values;
  // Only what the bytes left can hold is reserved up front; standard input grows.
  if (bytes_left) {
    rows.reserve(declared);
    columns.reserve(declared);
    values.reserve(declared);
  }
  std::uint64_t read = 0;
  while (std::getline(in, line)) {
    ++line_number;
    const auto fields = SplitFields(line);
    if (fields.empty() || fields[0].text[0] == '%') continue;
    if (read == declared) throw InputError(name, line_number, 1, "more entries than the " + std::to_string(declared) + " the size line gives");
    if (fields.size() != 3) {
      const std::size_t column = fields.size() > 3 ? fields[3].column : line.size() + 1;
      throw InputError(name, line_number, column, "an entry needs three fields: row column value");
    }
    unsigned long long place[2];
    for (int k = 0; k < 2; ++k) {
      if (!ParseCount(fields[k].text, place[k])) {
        throw InputError(name, line_number, fields[k].column, Shown(fields[k].text) + " is not a whole number");
      }
      if (place[k] < 1 || place[k] > n) {
        throw InputError(name, line_number, fields[k].column,
                         "index " + std::string(fields[k].text) + " is outside 1 to " + std::to_string(n));
      }
    }
    double value;
    if (!ParseDouble(fields[2].text, value)) {
      throw InputError(name, line_number, fields[2].column, Shown(fields[2].text) + " is not a number");
    }
    const std::string fault = AffinityFault(value);
    if (!fault.empty()) throw InputError(name, line_number, fields[2].column, fault);
    const auto row = static_cast<std::int64_t>(place[0] - 1);
    const auto column = static_cast<std::int64_t>(place[1] - 1);
    rows.push_back(row);
    columns.push_back(column);
    values.push_back(value);
    if (symmetric && row != column) {
      rows.push_back(column);
      columns.push_back(row);
      values.push_back(value);
    }
    ++read;
  }
  if (in.bad()) throw InputError(name, "read error");
  if (read < declared) {
    throw InputError(name, line_number + 1, 1,
                     "the file ends after " + std::to_string(read) + " of " + std::to_string(declared) + " entries");
  }
  return PackColumns(n, rows, columns, values, name);
}

}  // namespace tsneloss
