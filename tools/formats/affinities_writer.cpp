#include "formats/affinities_writer.hpp"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>
#include <stdexcept>
#include <vector>

#include "formats/npy_file.hpp"
#include "formats/zip_writer.hpp"
#include "support/text.hpp"

namespace tsneloss::formats {
namespace {

bool EndsWith(const std::string& text, const std::string& end) {
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

constexpr std::size_t kChunk = 1 << 16;

// A .npy member: its preamble, then the elements of `values` converted to Stored.
template <typename Stored, typename Source>
void AddArray(ZipWriter& zip, const std::string& name, const std::string& descr,
              const affinities::LargeVector<Source>& values) {
  const std::string preamble = NpyPreamble(descr, "(" + std::to_string(values.size()) + ",)");
  zip.Add(name, preamble.size() + values.size() * sizeof(Stored), [&](const ZipWriter::Emit& emit) {
    emit(preamble.data(), preamble.size());
    if constexpr (std::is_same_v<Stored, Source>) {
      emit(reinterpret_cast<const char*>(values.data()), values.size() * sizeof(Stored));
    } else {
      std::vector<Stored> chunk;
      for (std::size_t first = 0; first < values.size(); first += kChunk) {
        const std::size_t end = std::min(values.size(), first + kChunk);
        chunk.assign(values.begin() + static_cast<std::ptrdiff_t>(first),
                     values.begin() + static_cast<std::ptrdiff_t>(end));
        emit(reinterpret_cast<const char*>(chunk.data()), chunk.size() * sizeof(Stored));
      }
    }
  });
}

void AddBytes(ZipWriter& zip, const std::string& name, const std::string& bytes) {
  zip.Add(name, bytes.size(), [&](const ZipWriter::Emit& emit) { emit(bytes.data(), bytes.size()); });
}

// The members scipy.sparse.save_npz writes for a CSR matrix.
void WriteNpz(const std::string& path, const std::string& shown, const affinities::SparseRows& p,
              std::uint64_t zip64_from) {
  ZipWriter zip(path, shown, zip64_from);
  const bool narrow = p.values.size() <= static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max());
  if (narrow) {
    AddArray<std::int32_t>(zip, "indices.npy", "<i4", p.columns);
    AddArray<std::int32_t>(zip, "indptr.npy", "<i4", p.row_starts);
  } else {
    AddArray<std::int64_t>(zip, "indices.npy", "<i8", p.columns);
    AddArray<std::int64_t>(zip, "indptr.npy", "<i8", p.row_starts);
  }
  // The format's name as a 0-d array of three UTF-32 characters.
  std::string format = NpyPreamble("<U3", "()");
  for (const char c : std::string("csr")) format += std::string{c, '\0', '\0', '\0'};
  AddBytes(zip, "format.npy", format);
  std::string shape = NpyPreamble("<i8", "(2,)");
  for (int axis = 0; axis < 2; ++axis) {
    const auto n = static_cast<std::int64_t>(p.n);
    shape.append(reinterpret_cast<const char*>(&n), sizeof n);
  }
  AddBytes(zip, "shape.npy", shape);
  AddArray<double>(zip, "data.npy", "<f8", p.values);
  zip.Finish();
}

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};

void WriteMatrixMarket(const std::string& path, const std::string& shown, const affinities::SparseRows& p) {
  std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.c_str(), "wb"));
  const auto fail = [&] { throw std::runtime_error("cannot write " + shown + ": " + std::strerror(errno)); };
  if (!file) fail();
  std::string text = "%%MatrixMarket matrix coordinate real general\n" + std::to_string(p.n) + " " +
                     std::to_string(p.n) + " " + std::to_string(p.values.size()) + "\n";
  for (std::size_t i = 0; i < p.n; ++i) {
    const std::string row = std::to_string(i + 1) + " ";
    for (auto e = static_cast<std::size_t>(p.row_starts[i]); e < static_cast<std::size_t>(p.row_starts[i + 1]); ++e) {
      text += row;
      text += std::to_string(static_cast<std::int64_t>(p.columns[e]) + 1);
      text += ' ';
      support::AppendShortest(text, p.values[e]);
      text += '\n';
    }
    if (text.size() >= kChunk) {
      if (std::fwrite(text.data(), 1, text.size(), file.get()) != text.size()) fail();
      text.clear();
    }
  }
  if (std::fwrite(text.data(), 1, text.size(), file.get()) != text.size()) fail();
  if (std::fclose(file.release()) != 0) fail();
}

}  // namespace

std::string TemporaryPathOf(const std::string& path) { return path + ".partial-" + std::to_string(getpid()); }

bool AffinitiesFormatKnown(const std::string& path) { return EndsWith(path, ".npz") || EndsWith(path, ".mtx"); }

void CheckAffinitiesWritable(const std::string& path) {
  const std::string partial = TemporaryPathOf(path);
  std::FILE* file = std::fopen(partial.c_str(), "wb");
  if (file == nullptr) throw std::runtime_error("cannot write " + path + ": " + std::strerror(errno));
  std::fclose(file);
  std::remove(partial.c_str());
}

void WriteAffinities(const std::string& path, const affinities::SparseRows& p, std::uint64_t zip64_from) {
  if (!AffinitiesFormatKnown(path)) {
    throw std::invalid_argument("cannot tell the format of " + path + ": P is written to .npz or .mtx files");
  }
  const std::string partial = TemporaryPathOf(path);
  try {
    if (EndsWith(path, ".npz")) {
      WriteNpz(partial, path, p, zip64_from);
    } else {
      WriteMatrixMarket(partial, path, p);
    }
    if (std::rename(partial.c_str(), path.c_str()) != 0) {
      throw std::runtime_error("cannot write " + path + ": " + std::strerror(errno));
    }
  } catch (...) {
    std::remove(partial.c_str());
    throw;
  }
}

}  // namespace tsneloss::formats
