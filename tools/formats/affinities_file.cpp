#include "formats/affinities_file.hpp"

#include "core/input_error.hpp"
#include "formats/npz_file.hpp"

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
  read.size = PackEntries(read.n, *entries, allocate, source.name(), reading.threads);
  return read;
}

HostAffinities ReadHostAffinities(InputSource& source, const EmbeddingShape& embedding,
                                  const ParallelReading& reading) {
  HostAffinities p;
  const AffinitiesRead read = ReadAffinities(
      source, embedding,
      [&](std::uint64_t n, std::uint64_t entries) {
        p.column_counts = NewHostRow(n);
        p.row_indices = NewHostRow(entries);
        p.values = NewHostRow(entries);
        return ColumnArrays{const_cast<double*>(ArrayData(p.column_counts)),
                            const_cast<double*>(ArrayData(p.row_indices)), const_cast<double*>(ArrayData(p.values))};
      },
      reading);
  p.n = read.n;
  p.nnz = read.size.nnz;
  p.merged_positions = read.size.merged_positions;
  return p;
}

SparseColumns ReadAffinities(InputSource& source, const EmbeddingShape& embedding, const ParallelReading& reading) {
  std::uint64_t n = 0;
  const auto entries = OpenEntries(source, embedding, reading, n);
  return PackIntoVectors(n, *entries, source.name());
}

}  // namespace tsneloss
