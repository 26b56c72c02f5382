#include "embedding_file.hpp"

#include <fstream>

#include "input_error.hpp"
#include "text_fields.hpp"

namespace tsneloss {

Embedding ReadEmbedding(const std::string& path) {
  const bool npy = path.size() >= 4 && path.compare(path.size() - 4, 4, ".npy") == 0;
  return npy ? ReadNpyEmbedding(path) : ReadTextEmbedding(path);
}

Embedding ReadTextEmbedding(const std::string& path) {
  std::ifstream in(path);
  if (!in) throw InputError(path, "cannot open the file");
  Embedding embedding;
  std::string line;
  std::size_t line_number = 0;
  bool dimension_known = false;
  while (std::getline(in, line)) {
    ++line_number;
    const auto fields = SplitFields(line);
    if (fields.empty() || fields[0].text[0] == '#') continue;
    if (!dimension_known) {
      embedding.d = fields.size();
      dimension_known = true;
    } else if (fields.size() != embedding.d) {
      const std::size_t column = fields.size() > embedding.d ? fields[embedding.d].column : line.size() + 1;
      throw InputError(path, line_number, column,
                       "this point has " + std::to_string(fields.size()) + " coordinates, the first had " +
                           std::to_string(embedding.d));
    }
    for (const Field& field : fields) {
      double value;
      if (!ParseDouble(field.text, value)) {
        throw InputError(path, line_number, field.column, "'" + std::string(field.text) + "' is not a number");
      }
      embedding.coordinates.push_back(value);
    }
    ++embedding.n;
  }
  if (in.bad()) throw InputError(path, "read error");
  if (embedding.n == 0) throw InputError(path, "the file holds no points");
  return embedding;
}

}  // namespace tsneloss
