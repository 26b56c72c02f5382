#include "formats/matrix_market.hpp"

#include <string>
#include <vector>

#include "core/input_error.hpp"
#include "core/input_messages.hpp"
#include "formats/matrix_market_header.hpp"
#include "formats/matrix_market_lines.hpp"
#include "support/text.hpp"

namespace tsneloss::formats {

struct MatrixMarketStream::State {
  State(InputSource& s, const ParallelReading& r) : source(s), reading(r) {}

  InputSource& source;
  ParallelReading reading;
  MatrixMarketHeader header;
  std::unique_ptr<TextBlocks> blocks;
  bool passed_once = false;
  // Standard input cannot be read twice: its entries are kept from the first pass.
  std::vector<Piece> kept;
  // Where the next value of a dense file goes.
  std::uint64_t next_row = 0;
  std::uint64_t next_column = 0;

  const std::string& name() const { return source.name(); }
  void ReadHeader(const core::EmbeddingShape& embedding);
  void ReadEntries(const std::function<void(const core::EntryBlock&)>& take);
  void Take(Piece& piece, std::uint64_t& line_base, std::uint64_t& given,
            const std::function<void(const core::EntryBlock&)>& take);
  void PlaceDenseValues(Piece& piece);
};

void MatrixMarketStream::State::ReadHeader(const core::EmbeddingShape& embedding) {
  blocks = std::make_unique<TextBlocks>(source, reading.block_bytes);
  // Faults in a file cut short while mapped may come from the zeros standing for it.
  try {
    header = ReadMatrixMarketHeader(*blocks, source, embedding);
  } catch (const core::InputError&) {
    blocks->ThrowIfShrunk();
    throw;
  }
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
      if (header.symmetric && row != column) {
        piece.rows.push_back(column);
        piece.columns.push_back(row);
        piece.values.push_back(values[k]);
      }
    }
    if (++next_row == header.n) next_row = header.symmetric ? ++next_column : (++next_column, 0);
  }
}

void MatrixMarketStream::State::Take(Piece& piece, std::uint64_t& line_base, std::uint64_t& given,
                                     const std::function<void(const core::EntryBlock&)>& take) {
  if (passed_once && piece.fault) throw core::InputError(name(), core::kFileChanged);
  // As a reading line by line meets them: an entry beyond the declared number first,
  // then the piece's own fault.
  const std::uint64_t room = header.declared - given;
  const std::string too_many = std::string("more ") + (header.dense ? "values" : "entries") + " than the " +
                               std::to_string(header.declared) + " the size line gives";
  if (piece.given() > room) throw core::InputError(name(), line_base + piece.entry_lines[room], 1, too_many);
  if (piece.fault) {
    if (piece.given() == room) throw core::InputError(name(), line_base + piece.fault->line, 1, too_many);
    throw core::InputError(name(), line_base + piece.fault->line, piece.fault->column, piece.fault->message);
  }
  if (header.dense) PlaceDenseValues(piece);
  if (!piece.values.empty()) take(core::EntryBlock{piece.rows, piece.columns, piece.values});
  given += piece.given();
  line_base += piece.lines;
}

MatrixMarketStream::MatrixMarketStream(InputSource& source, const core::EmbeddingShape& embedding,
                                       const ParallelReading& reading)
    : state_(std::make_unique<State>(source, reading)) {
  state_->ReadHeader(embedding);
}

MatrixMarketStream::~MatrixMarketStream() = default;

std::uint64_t MatrixMarketStream::n() const { return state_->header.n; }

std::optional<std::uint64_t> MatrixMarketStream::EntryBound() const { return state_->header.bound; }

void MatrixMarketStream::ForEach(const std::function<void(const core::EntryBlock&)>& take) {
  State& s = *state_;
  if (s.passed_once && !s.source.CanRewind()) {
    for (const Piece& piece : s.kept) {
      if (!piece.values.empty()) take(core::EntryBlock{piece.rows, piece.columns, piece.values});
    }
    return;
  }
  if (s.passed_once) {
    s.blocks.reset();
    s.source.Rewind();
    s.ReadHeader({s.header.n, 0, ""});
  }
  try {
    s.ReadEntries(take);
  } catch (const core::InputError&) {
    s.blocks->ThrowIfShrunk();
    throw;
  }
  s.passed_once = true;
}

void MatrixMarketStream::State::ReadEntries(const std::function<void(const core::EntryBlock&)>& take) {
  State& s = *this;
  const bool keep = !s.source.CanRewind();
  std::vector<Piece> pieces(s.reading.ThreadCount());
  std::uint64_t line_base = s.header.lines;
  std::uint64_t given = 0;
  const auto read_block = [&](std::string_view text) {
    ParseInPieces(
        text, s.reading,
        [&](std::size_t k, std::string_view piece) {
          pieces[k].Clear();
          if (s.header.dense) {
            ParseArrayPiece(piece, pieces[k]);
          } else {
            ParseCoordinatePiece(piece, s.header.n, s.header.symmetric, pieces[k]);
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
  read_block(s.header.rest);
  std::string_view block;
  while (s.blocks->Next(block)) read_block(block);
  if (given < s.header.declared) {
    throw core::InputError(s.name(), line_base + 1, 1,
                     "the file ends after " + std::to_string(given) + " of " +
                         (s.header.dense ? support::Counted(s.header.declared, "value")
                                         : support::Counted(s.header.declared, "entry", "entries")));
  }
}

}  // namespace tsneloss::formats
