// Gzip'd input through InputSource into a reader. The first byte chooses: compress the
// rest (in one member or two, at a split the second byte picks) and read it as an
// embedding or as Matrix Market, or take the rest as gzip bytes as they are. Read,
// or refused with an InputError.
#include <cstdint>
#include <string>

#include "core/input_error.hpp"
#include "formats/affinities_file.hpp"
#include "formats/embedding_file.hpp"
#include "fuzz_input.hpp"
#include "sparse_files.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const unsigned mode = data[0];
  const std::string rest(reinterpret_cast<const char*>(data + 2), size - 2);
  std::string bytes;
  if ((mode & 3) == 3) {
    bytes = "\x1f\x8b" + rest;
  } else if ((mode & 4) != 0) {
    const std::size_t split = rest.empty() ? 0 : data[1] % (rest.size() + 1);
    bytes = tsne_test::Gzip(rest.substr(0, split)) + tsne_test::Gzip(rest.substr(split));
  } else {
    bytes = tsne_test::Gzip(rest);
  }
  const tsne_fuzz::MemoryFile file(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
  try {
    tsneloss::formats::InputSource source(file.path());
    if ((mode & 8) != 0) {
      tsneloss::formats::ReadAffinities(source, tsneloss::core::EmbeddingShape{5, 2, "y"}, {1, 64, 16, {}});
    } else {
      tsneloss::formats::ReadEmbedding(source, true, {1, 64, 16, {}});
    }
  } catch (const tsneloss::core::InputError&) {
  }
  return 0;
}
