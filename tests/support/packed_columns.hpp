// Packing a stream of entries into vectors for tests, the packer's arrays filled with
// -1 first so that a slot it leaves unwritten shows.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/entry_packing.hpp"

namespace tsne_test {

struct Packed {
  std::vector<double> counts, rows, values;
  tsneloss::core::PackedSize size;
};

inline Packed Pack(std::uint64_t n, tsneloss::core::EntryStream& stream, unsigned threads, const std::string& source = "P") {
  Packed p;
  p.size = tsneloss::core::PackEntries(
      n, stream,
      [&](std::uint64_t order, std::uint64_t entries) {
        p.counts.assign(order, -1.0);
        p.rows.assign(entries, -1.0);
        p.values.assign(entries, -1.0);
        return tsneloss::core::ColumnArrays{p.counts.data(), p.rows.data(), p.values.data()};
      },
      source, threads);
  p.rows.resize(p.size.nnz);
  p.values.resize(p.size.nnz);
  return p;
}

}  // namespace tsne_test
