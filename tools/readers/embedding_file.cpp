#include "embedding_file.hpp"

#include "input_error.hpp"
#include "shown_token.hpp"
#include "text_fields.hpp"
#include "value_rules.hpp"

namespace tsneloss {
namespace {

// The first line of a file that is no text embedding, when it can be told apart.
void RefuseOtherFormats(const std::string& line, const std::string& name) {
  if (line.rfind("\x1f\x8b", 0) == 0) throw InputError(name, 1, 1, "the file is gzip-compressed: decompress it first");
  if (line.rfind("%%MatrixMarket", 0) == 0) {
    throw InputError(name, 1, 1,
                     "this is a Matrix Market file, not an embedding: the files may be given the other way round "
                     "(EMBEDDING first, then AFFINITIES)");
  }
}

}  // namespace

Embedding ReadEmbedding(InputSource& source, bool z_computed) {
  const bool npy = source.PathEndsWith(".npy") || source.stream().peek() == 0x93;
  Embedding embedding = npy ? ReadNpyEmbedding(source) : ReadTextEmbedding(source);
  CheckPointCount(embedding.n, z_computed, source.name());
  return embedding;
}

Embedding ReadTextEmbedding(InputSource& source) {
  std::istream& in = source.stream();
  const std::string& name = source.name();
  Embedding embedding;
  std::string line;
  std::size_t line_number = 0;
  bool dimension_known = false;
  while (std::getline(in, line)) {
    ++line_number;
    if (line_number == 1) RefuseOtherFormats(line, name);
    const auto fields = SplitFields(line);
    if (fields.empty() || fields[0].text[0] == '#') continue;
    if (!dimension_known) {
      embedding.d = fields.size();
      dimension_known = true;
    } else if (fields.size() != embedding.d) {
      const std::size_t column = fields.size() > embedding.d ? fields[embedding.d].column : line.size() + 1;
      throw InputError(name, line_number, column,
                       "this point has " + std::to_string(fields.size()) + " coordinates, the first had " +
                           std::to_string(embedding.d));
    }
    for (const Field& field : fields) {
      double value;
      if (!ParseDouble(field.text, value)) {
        throw InputError(name, line_number, field.column, Shown(field.text) + " is not a number");
      }
      const std::string fault = CoordinateFault(value);
      if (!fault.empty()) throw InputError(name, line_number, field.column, fault);
      embedding.coordinates.push_back(value);
    }
    ++embedding.n;
  }
  if (in.bad()) throw InputError(name, "read error");
  if (embedding.n == 0) throw InputError(name, "the file holds no points");
  return embedding;
}

}  // namespace tsneloss
