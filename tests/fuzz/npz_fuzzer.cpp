// Coverage-guided fuzzing of the .npz reader. The bytes are the archive, read from a
// file in memory as P for an embedding of four points, as tsneloss reads it but in
// chunks of three entries, columns counted on two threads, to reach every edge. A
// refusal (InputError) is an answer; a crash, a leak, a read outside a buffer or an
// allocation beyond the fuzzer's limit is a finding.
#include <cstdint>
#include <string>

#include "core/input_error.hpp"
#include "core/sparse_columns.hpp"
#include "formats/npz_file.hpp"
#include "fuzz_input.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // Only archives: other files go to the Matrix Market reader.
  if (size < 2 || data[0] != 'P' || data[1] != 'K') return 0;
  const tsne_fuzz::MemoryFile file(data, size);
  try {
    tsneloss::formats::InputSource source(file.path());
    tsneloss::formats::NpzStream stream(source, tsneloss::core::EmbeddingShape{4, 2, "y"}, {3, 1});
    tsneloss::core::PackIntoVectors(stream.n(), stream, source.name());
  } catch (const tsneloss::core::InputError&) {
  }
  return 0;
}
