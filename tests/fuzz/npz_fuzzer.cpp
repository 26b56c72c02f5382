// Coverage-guided fuzzing of the .npz reader. The bytes are the archive, read from a
// file in memory as P for an embedding of four points, as tsneloss reads it. A
// refusal (InputError) is an answer; a crash, a leak, a read outside a buffer or an
// allocation beyond the fuzzer's limit is a finding.
#include <cstdint>
#include <string>

#include "core/input_error.hpp"
#include "formats/affinities_file.hpp"
#include "fuzz_input.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // Only archives: other files go to the Matrix Market reader.
  if (size < 2 || data[0] != 'P' || data[1] != 'K') return 0;
  const tsne_fuzz::MemoryFile file(data, size);
  try {
    tsneloss::InputSource source(file.path());
    tsneloss::ParallelReading reading;
    reading.threads = 1;
    tsneloss::ReadAffinities(source, tsneloss::EmbeddingShape{4, 2, "y"}, reading);
  } catch (const tsneloss::InputError&) {
  }
  return 0;
}
