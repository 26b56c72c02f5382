#include "formats/embedding_file.hpp"

#include <cmath>
#include <optional>

#include "core/input_error.hpp"
#include "core/input_messages.hpp"
#include "core/input_rules.hpp"
#include "formats/text_fields.hpp"
#include "support/text.hpp"

namespace tsneloss::formats {
namespace {

// What a file that starts with `first` is when it holds P, empty else.
std::string AffinitiesFormatStarting(std::string_view first) {
  if (first.rfind("%%MatrixMarket", 0) == 0) return "a Matrix Market file";
  if (first.rfind("PK\x03\x04", 0) == 0) return "a .npz archive";
  return "";
}

// The first line of a file that is no text embedding, when it can be told apart.
void RefuseOtherFormats(std::string_view line, const std::string& name) {
  const std::string format = AffinitiesFormatStarting(line);
  if (format.empty()) return;
  throw core::InputError(name, 1, 1, "this is " + format +
                                         ", not an embedding: the files may be given the other way round "
                                         "(EMBEDDING first, then AFFINITIES)");
}

// A first point line with no number in it is taken for a header ("x,y").
void RefuseHeader(const std::vector<Field>& fields, std::uint64_t line, const std::string& name) {
  double value;
  for (const Field& field : fields) {
    if (ParseDouble(field.text, value)) return;
  }
  throw core::InputError(name, line, fields[0].column,
                         "this line looks like a header: none of its fields is a number; a line starting with '#' "
                         "is a comment");
}

struct PointsPiece {
  std::vector<double> coordinates;
  std::uint64_t points = 0;
  std::uint64_t lines = 0;
  std::optional<std::uint64_t> fault_line;
  std::size_t fault_column = 0;
  std::string fault;
};

void ParsePointsPiece(std::string_view text, std::uint64_t d, PointsPiece& piece) {
  piece.coordinates.clear();
  piece.points = 0;
  piece.fault_line.reset();
  LineCursor cursor(text);
  std::string_view line;
  std::uint64_t line_number = 0;
  std::vector<Field> fields(d + 1);
  while (cursor.Next(line)) {
    ++line_number;
    const std::size_t count = SplitFieldsInto(line, fields.data(), d + 1);
    if (count == 0 || IsComment(fields[0], '#')) continue;
    if (count != d || FirstEmpty(fields.data(), count) != nullptr) {
      const auto all = SplitFields(line);
      const Field* empty = FirstEmpty(all.data(), all.size());
      piece.fault_line = line_number;
      piece.fault_column = empty != nullptr ? empty->column : count > d ? fields[d].column : line.size() + 1;
      piece.fault = empty != nullptr ? core::kEmptyField
                                     : "this point has " + support::Counted(all.size(), "coordinate") +
                                           ", the first had " + std::to_string(d);
      break;
    }
    for (std::size_t k = 0; k < d && !piece.fault_line; ++k) {
      double value;
      if (!ParseDouble(fields[k].text, value)) {
        piece.fault = support::Shown(fields[k].text) + " is not a number";
      } else {
        if (!std::isfinite(value)) piece.fault = core::CoordinateFault(value);
        piece.coordinates.push_back(value);
      }
      if (!piece.fault.empty()) {
        piece.fault_line = line_number;
        piece.fault_column = fields[k].column;
      }
    }
    if (piece.fault_line) break;
    ++piece.points;
  }
  piece.lines = line_number;
}

core::Embedding ReadPoints(InputSource& source, core::PointsRole role, const ParallelReading& reading) {
  const bool npy = source.PathEndsWith(".npy") || source.Peek() == 0x93;
  core::Embedding embedding = npy ? ReadNpyEmbedding(source, role) : ReadTextEmbedding(source, reading);
  core::CheckPointCount(embedding.n, embedding.d, role, source.name());
  return embedding;
}

}  // namespace

std::string AffinitiesFormatOf(InputSource& source) {
  return AffinitiesFormatStarting(source.PeekPrefix(std::string_view("%%MatrixMarket").size()));
}

core::Embedding ReadEmbedding(InputSource& source, bool z_computed, const ParallelReading& reading) {
  return ReadPoints(source, z_computed ? core::PointsRole::kEmbeddingZComputed : core::PointsRole::kEmbedding, reading);
}

core::Embedding ReadData(InputSource& source, const ParallelReading& reading) {
  return ReadPoints(source, core::PointsRole::kData, reading);
}

core::Embedding ReadTextEmbedding(InputSource& source, const ParallelReading& reading) {
  const std::string& name = source.name();
  core::Embedding embedding;
  TextBlocks blocks(source, reading.block_bytes);
  std::vector<PointsPiece> pieces(reading.ThreadCount());
  std::uint64_t line_base = 0;
  bool dimension_known = false;
  std::string_view block;
  // Faults in a file cut short while mapped may come from the zeros standing for it.
  try {
    while (blocks.Next(block)) {
      if (line_base == 0) RefuseOtherFormats(block.substr(0, block.find('\n')), name);
      if (!dimension_known) {
        // D is the number of fields on the first line that is a point.
        LineCursor cursor(block);
        std::string_view line;
        std::string_view from = block;
        while (!dimension_known && cursor.Next(line)) {
          const auto fields = SplitFields(line);
          if (fields.empty() || IsComment(fields[0], '#')) {
            ++line_base;
            from = cursor.rest();
            continue;
          }
          RefuseHeader(fields, line_base + 1, name);
          embedding.d = fields.size();
          dimension_known = true;
        }
        if (!dimension_known) continue;
        block = from;
      }
      ParseInPieces(
          block, reading,
          [&](std::size_t k, std::string_view piece) { ParsePointsPiece(piece, embedding.d, pieces[k]); },
          [&](std::size_t k) {
            const PointsPiece& piece = pieces[k];
            if (piece.fault_line) {
              throw core::InputError(name, line_base + *piece.fault_line, piece.fault_column, piece.fault);
            }
            const auto& values = piece.coordinates;
            embedding.coordinates.insert(embedding.coordinates.end(), values.begin(), values.end());
            embedding.n += piece.points;
            line_base += piece.lines;
          });
    }
  } catch (const core::InputError&) {
    blocks.ThrowIfShrunk();
    throw;
  }
  if (embedding.n == 0) throw core::InputError(name, "the file holds no points");
  return embedding;
}

}  // namespace tsneloss::formats
