// The lines of a Matrix Market file after its size line, parsed a piece of text at a
// time (pieces go to threads): entries and their first fault, where the piece stops.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tsneloss::formats {

// A fault at a line (one-based within the piece) and column, and what is wrong.
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

// A coordinate file's entry lines, "row column value" (one-based) of an N-by-N P;
// a symmetric file's entries off the diagonal are mirrored.
void ParseCoordinatePiece(std::string_view text, std::uint64_t n, bool symmetric, Piece& piece);
// A dense file's values only: where each one goes depends on how many came before.
void ParseArrayPiece(std::string_view text, Piece& piece);

}  // namespace tsneloss::formats
