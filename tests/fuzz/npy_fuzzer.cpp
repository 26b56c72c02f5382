// Any bytes after the .npy magic as an embedding: read, or refused with an InputError.
#include <cstdint>
#include <string>

#include "core/input_error.hpp"
#include "formats/embedding_file.hpp"
#include "fuzz_input.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // The magic given, so the fuzzer spends its time on the header and the data.
  std::string bytes = "\x93NUMPY";
  bytes.append(reinterpret_cast<const char*>(data), size);
  const tsne_fuzz::MemoryFile file(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
  try {
    tsneloss::formats::InputSource source(file.path());
    tsneloss::formats::ReadNpyEmbedding(source);
  } catch (const tsneloss::core::InputError&) {
  }
  return 0;
}
