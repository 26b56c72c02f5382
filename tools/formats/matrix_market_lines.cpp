#include "formats/matrix_market_lines.hpp"

#include <charconv>
#include <cstring>
#include <cstdint>
#include <utility>

#include "core/input_messages.hpp"
#include "core/input_rules.hpp"
#include "formats/text_blocks.hpp"
#include "formats/text_fields.hpp"
#include "support/text.hpp"

namespace tsneloss::formats {
namespace {

// The value field of an entry, or the fault's message.
std::optional<std::string> ParseAffinity(const Field& field, double& value) {
  if (!ParseDouble(field.text, value)) return support::Shown(field.text) + " is not a number";
  if (!core::AffinityAllowed(value)) return core::AffinityFault(value);
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
  const core::EntryPart broken = core::FirstFault(index(0), index(1), value, n);
  const int broken_field = broken == core::EntryPart::kNone ? 3 : static_cast<int>(broken) - 1;
  if (unreadable <= broken_field && unreadable < 3) {
    const Field& field = fields[unreadable];
    return PieceFault{line_number, field.column,
                      support::Shown(field.text) + (unreadable < 2 ? " is not a whole number" : " is not a number")};
  }
  if (broken_field == 3) return std::nullopt;
  const Field& field = fields[broken_field];
  if (broken == core::EntryPart::kValue) return PieceFault{line_number, field.column, core::AffinityFault(value)};
  return PieceFault{line_number, field.column, core::OutsideRange(field.text, n, true)};
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
  // Numbers stop at a line's end: `end` is the piece's. Two commas in a run hold an
  // empty field, which the general path reports.
  const auto separated = [&](const char* stop) {
    if (stop == end || !IsSeparator(*stop)) return false;
    bool comma = false;
    for (at = stop; at != end && IsSeparator(*at); ++at) {
      if (*at == ',' && std::exchange(comma, true)) return false;
    }
    return true;
  };
  auto parsed = ParseShortWhole(at, end, row);
  if (parsed.ec != std::errc() || !separated(parsed.ptr)) return false;
  parsed = ParseShortWhole(at, end, column);
  if (parsed.ec != std::errc() || !separated(parsed.ptr)) return false;
  const auto number = std::from_chars(at, end, value);
  if (number.ec != std::errc()) return false;
  at = number.ptr;
  // A comma after the value leaves an empty field.
  while (at != end && (*at == ' ' || *at == '\t')) ++at;
  // A '\r' right before the line's end is no field.
  if (at != end && *at == '\r' && (at + 1 == end || at[1] == '\n')) ++at;
  if (at == end) {
    next_line = end;
    return true;
  }
  next_line = at + 1;
  return *at == '\n';
}

}  // namespace

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
                       core::FirstFault(static_cast<std::int64_t>(place[0]) - 1, static_cast<std::int64_t>(place[1]) - 1,
                                  value, n) == core::EntryPart::kNone;
    if (plain) {
      at = next_line;
    } else {
      const auto* newline = static_cast<const char*>(std::memchr(at, '\n', static_cast<std::size_t>(end - at)));
      const char* const line_end = newline != nullptr ? newline : end;
      const std::string_view line(at, static_cast<std::size_t>(line_end - at));
      at = newline != nullptr ? newline + 1 : end;
      const std::size_t count = SplitFieldsInto(line, fields, 4);
      if (count == 0 || IsComment(fields[0], '%')) continue;
      if (const Field* empty = FirstEmpty(fields, count)) {
        piece.fault = {line_number, empty->column, core::kEmptyField};
        break;
      }
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

void ParseArrayPiece(std::string_view text, Piece& piece) {
  LineCursor cursor(text);
  std::string_view line;
  std::uint32_t line_number = 0;
  Field fields[2];
  while (cursor.Next(line)) {
    ++line_number;
    const std::size_t count = SplitFieldsInto(line, fields, 2);
    if (count == 0 || IsComment(fields[0], '%')) continue;
    if (const Field* empty = FirstEmpty(fields, count)) {
      piece.fault = {line_number, empty->column, core::kEmptyField};
      break;
    }
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

}  // namespace tsneloss::formats
