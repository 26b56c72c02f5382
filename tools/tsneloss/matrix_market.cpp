#include "matrix_market.hpp"

#include <algorithm>
#include <fstream>
#include <sstream>

#include "input_error.hpp"
#include "text_fields.hpp"

namespace tsneloss {
namespace {

struct Entry {
  std::uint64_t row;     // one-based
  std::uint64_t column;  // one-based
  double value;
};

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
  return text;
}

}  // namespace

SparseColumns ReadMatrixMarket(const std::string& path) {
  std::ifstream in(path);
  if (!in) throw InputError(path, "cannot open the file");
  std::string line;
  std::size_t line_number = 1;
  if (!std::getline(in, line)) throw InputError(path, 1, 1, "the file is empty");
  const auto banner = SplitFields(line);
  const std::string expected = "%%MatrixMarket matrix coordinate (real|integer) (general|symmetric)";
  if (banner.size() != 5 || banner[0].text != "%%MatrixMarket" || Lower(std::string(banner[1].text)) != "matrix" ||
      Lower(std::string(banner[2].text)) != "coordinate") {
    throw InputError(path, 1, 1, "the header is not '" + expected + "'");
  }
  const std::string field = Lower(std::string(banner[3].text));
  const std::string symmetry = Lower(std::string(banner[4].text));
  if (field != "real" && field != "integer") {
    throw InputError(path, 1, banner[3].column, "values of type '" + std::string(banner[3].text) + "' are not supported; real or integer is needed");
  }
  if (symmetry != "general" && symmetry != "symmetric") {
    throw InputError(path, 1, banner[4].column, "'" + std::string(banner[4].text) + "' matrices are not supported; general or symmetric is needed");
  }
  const bool symmetric = symmetry == "symmetric";

  // The size line: the first line that is not a comment.
  std::vector<Field> size_fields;
  while (std::getline(in, line)) {
    ++line_number;
    size_fields = SplitFields(line);
    if (!size_fields.empty() && size_fields[0].text[0] != '%') break;
    size_fields.clear();
  }
  if (size_fields.empty()) throw InputError(path, line_number + 1, 1, "the size line (rows columns entries) is missing");
  unsigned long long sizes[3];
  if (size_fields.size() != 3) throw InputError(path, line_number, 1, "the size line needs three numbers: rows columns entries");
  for (int k = 0; k < 3; ++k) {
    if (!ParseCount(size_fields[k].text, sizes[k])) {
      throw InputError(path, line_number, size_fields[k].column, "'" + std::string(size_fields[k].text) + "' is not a whole number");
    }
  }
  if (sizes[0] != sizes[1]) {
    throw InputError(path, line_number, 1, "P must be square; it is " + std::to_string(sizes[0]) + " by " + std::to_string(sizes[1]));
  }
  const std::uint64_t n = sizes[0];

  std::vector<Entry> entries;
  entries.reserve(std::min<unsigned long long>(sizes[2], 1u << 24) * (symmetric ? 2 : 1));
  std::uint64_t read = 0;
  while (std::getline(in, line)) {
    ++line_number;
    const auto fields = SplitFields(line);
    if (fields.empty() || fields[0].text[0] == '%') continue;
    if (read == sizes[2]) throw InputError(path, line_number, 1, "more entries than the " + std::to_string(sizes[2]) + " the size line gives");
    if (fields.size() != 3) {
      const std::size_t column = fields.size() > 3 ? fields[3].column : line.size() + 1;
      throw InputError(path, line_number, column, "an entry needs three fields: row column value");
    }
    unsigned long long place[2];
    for (int k = 0; k < 2; ++k) {
      if (!ParseCount(fields[k].text, place[k])) {
        throw InputError(path, line_number, fields[k].column, "'" + std::string(fields[k].text) + "' is not a whole number");
      }
      if (place[k] < 1 || place[k] > n) {
        throw InputError(path, line_number, fields[k].column,
                         "index " + std::string(fields[k].text) + " is outside 1 to " + std::to_string(n));
      }
    }
    double value;
    if (!ParseDouble(fields[2].text, value)) {
      throw InputError(path, line_number, fields[2].column, "'" + std::string(fields[2].text) + "' is not a number");
    }
    entries.push_back({place[0], place[1], value});
    if (symmetric && place[0] != place[1]) entries.push_back({place[1], place[0], value});
    ++read;
  }
  if (in.bad()) throw InputError(path, "read error");
  if (read < sizes[2]) {
    throw InputError(path, line_number + 1, 1,
                     "the file ends after " + std::to_string(read) + " of " + std::to_string(sizes[2]) + " entries");
  }

  std::stable_sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) { return a.column < b.column; });
  SparseColumns p;
  p.n = n;
  p.column_counts.assign(n, 0.0);
  p.row_indices.reserve(entries.size());
  p.values.reserve(entries.size());
  for (const Entry& entry : entries) {
    p.column_counts[entry.column - 1] += 1;
    p.row_indices.push_back(static_cast<double>(entry.row));
    p.values.push_back(entry.value);
  }
  return p;
}

}  // namespace tsneloss
