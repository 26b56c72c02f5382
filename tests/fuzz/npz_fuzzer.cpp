// Coverage-guided fuzzing of the .npz reader. The bytes are the archive, read from a
// file in memory as P for an embedding of four points, as tsneloss reads it. A
// refusal (InputError) is an answer; a crash, a leak, a read outside a buffer or an
// allocation beyond the fuzzer's limit is a finding.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "core/input_error.hpp"
#include "formats/affinities_file.hpp"

namespace {

// The whole input as the content of one file in memory, kept from run to run (a
// file per run costs more than reading it); aborts when the system refuses.
int MemoryFile(const std::uint8_t* data, std::size_t size) {
  static const int fd = ::memfd_create("npz_fuzzer", MFD_CLOEXEC);
  if (fd < 0 || ::ftruncate(fd, 0) != 0) std::abort();
  for (std::size_t written = 0; written < size;) {
    const ssize_t got = ::pwrite(fd, data + written, size - written, static_cast<off_t>(written));
    if (got <= 0) std::abort();
    written += static_cast<std::size_t>(got);
  }
  return fd;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // Only archives: other files go to the Matrix Market reader.
  if (size < 2 || data[0] != 'P' || data[1] != 'K') return 0;
  const int fd = MemoryFile(data, size);
  try {
    tsneloss::InputSource source("/proc/self/fd/" + std::to_string(fd));
    tsneloss::ParallelReading reading;
    reading.threads = 1;
    tsneloss::ReadAffinities(source, tsneloss::EmbeddingShape{4, 2, "y"}, reading);
  } catch (const tsneloss::InputError&) {
  }
  return 0;
}
