// Any bytes as an embedding file (text, or .npy by its first byte): read, or refused
// with an InputError; never a crash, a hang or a read out of bounds.
#include <cstdint>

#include "core/input_error.hpp"
#include "formats/embedding_file.hpp"
#include "fuzz_input.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const tsne_fuzz::MemoryFile file(data, size);
  try {
    tsneloss::formats::InputSource source(file.path());
    tsneloss::formats::ReadEmbedding(source, true, {1, 64, 16, {}});
  } catch (const tsneloss::core::InputError&) {
  }
  return 0;
}
