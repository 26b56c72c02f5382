#include "affinities_file.hpp"

#include "input_error.hpp"
#include "npz_file.hpp"

namespace tsneloss {
namespace {

std::unique_ptr<EntryStream> OpenEntries(InputSource& source, const EmbeddingShape& embedding,
                                         const ParallelReading& reading, std::uint64_t& n) {
  // Zip archives start "PK".
  if (source.PeekPrefix(2) == "PK") {
    if (source.compressed()) throw InputError(source.name(), "a .npz archive inside gzip: decompress it first");
    auto stream = std::make_unique<NpzStream>(source, embedding);
    n = stream->n();
    return stream;
  }
  auto stream = std::make_unique<MatrixMarketStream>(source, embedding, reading);
  n = stream->n();
  return stream;
}

}  // namespace

AffinitiesRead ReadAffinities(InputSource& source, const EmbeddingShape& embedding, const ColumnAllocator& allocate,
                              const ParallelReading& reading) {
  AffinitiesRead read;
  const auto entries = OpenEntries(source, embedding, reading, read.n);
  read.size = PackEntries(read.n, *entries, allocate, source.name());
  return read;
}

SparseColumns ReadAffinities(InputSource& source, const EmbeddingShape& embedding, const ParallelReading& reading) {
  std::uint64_t n = 0;
  const auto entries = OpenEntries(source, embedding, reading, n);
  return PackIntoVectors(n, *entries, source.name());
}

}  // namespace tsneloss
