#include "formats/affinities_file.hpp"

#include "core/input_error.hpp"
#include "formats/npz_file.hpp"

namespace tsneloss::formats {
namespace {

std::unique_ptr<core::EntryStream> OpenEntries(InputSource& source, const core::EmbeddingShape& embedding,
                                         const ParallelReading& reading, std::uint64_t& n) {
  // Zip archives start "PK".
  if (source.PeekPrefix(2) == "PK") {
    if (source.compressed()) throw core::InputError(source.name(), "a .npz archive inside gzip: decompress it first");
    auto stream = std::make_unique<NpzStream>(source, embedding);
    n = stream->n();
    return stream;
  }
  auto stream = std::make_unique<MatrixMarketStream>(source, embedding, reading);
  n = stream->n();
  return stream;
}

}  // namespace

AffinitiesRead ReadAffinities(InputSource& source, const core::EmbeddingShape& embedding, const core::ColumnAllocator& allocate,
                              const ParallelReading& reading) {
  AffinitiesRead read;
  const auto entries = OpenEntries(source, embedding, reading, read.n);
  read.size = core::PackEntries(read.n, *entries, allocate, source.name(), reading.threads);
  return read;
}

core::HostAffinities ReadHostAffinities(InputSource& source, const core::EmbeddingShape& embedding,
                                  const ParallelReading& reading) {
  core::HostAffinities p;
  const AffinitiesRead read = ReadAffinities(
      source, embedding,
      [&](std::uint64_t n, std::uint64_t entries) {
        p.column_counts = core::NewHostRow(n);
        p.row_indices = core::NewHostRow(entries);
        p.values = core::NewHostRow(entries);
        return core::ColumnArrays{const_cast<double*>(core::ArrayData(p.column_counts)),
                            const_cast<double*>(core::ArrayData(p.row_indices)), const_cast<double*>(core::ArrayData(p.values))};
      },
      reading);
  p.n = read.n;
  p.nnz = read.size.nnz;
  p.merged_positions = read.size.merged_positions;
  return p;
}

core::SparseColumns ReadAffinities(InputSource& source, const core::EmbeddingShape& embedding, const ParallelReading& reading) {
  std::uint64_t n = 0;
  const auto entries = OpenEntries(source, embedding, reading, n);
  return core::PackIntoVectors(n, *entries, source.name());
}

}  // namespace tsneloss::formats
