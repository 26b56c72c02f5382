// Any bytes as P for an embedding of 5 points: read as Matrix Market (or a .npz
// archive), or refused with an InputError.
#include <cstdint>

#include "core/input_error.hpp"
#include "formats/affinities_file.hpp"
#include "fuzz_input.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const tsne_fuzz::MemoryFile file(data, size);
  try {
    tsneloss::formats::InputSource source(file.path());
    tsneloss::formats::ReadAffinities(source, tsneloss::core::EmbeddingShape{5, 2, "y"}, {1, 64, 16, {}});
  } catch (const tsneloss::core::InputError&) {
  }
  return 0;
}
