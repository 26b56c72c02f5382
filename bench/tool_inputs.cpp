// Writes a generated t-SNE-like case as the files tsneloss reads, so whole runs can be
// timed from each format on the same data, and times the module call alone on it.
// The case is put in the form SciPy keeps a P in (rows increasing within each column,
// each position once), as files written from t-SNE affinities hold it.
//   tool_inputs DIR N [D]
// writes DIR/y.npy, DIR/p.mtx (coordinate, one entry per line, column after column),
// DIR/p.mtx.gz and DIR/p.npz (csc, deflated, as save_npz writes it), and the same P
// row after row, as SciPy keeps a CSR matrix and t-SNE libraries hand it out:
// DIR/p_rows.mtx, DIR/p_csr.npz (stored) beside DIR/p_csc.npz (stored), then prints Z
// and the fastest of three module calls in seconds. bench/tool_runs.sh uses it.
#include <algorithm>
#include <utility>
#include <vector>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <tuple>

#include "bench_case.hpp"
#include "loss_module.hpp"
#include "sparse_files.hpp"

namespace {

void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path);
}

// Shortest text that reads back to the same double.
void AppendNumber(std::string& text, double value) {
  char buffer[32];
  const auto end = std::to_chars(buffer, buffer + sizeof buffer, value).ptr;
  text.append(buffer, end);
}

void AppendWhole(std::string& text, std::uint64_t value) {
  char buffer[24];
  const auto end = std::to_chars(buffer, buffer + sizeof buffer, value).ptr;
  text.append(buffer, end);
}

// Sorts each column's rows and adds repeated positions together, in place.
void Canonicalise(tsne_bench::Case& c) {
  std::size_t read = 0;
  std::size_t write = 0;
  for (double& count : c.column_counts) {
    std::vector<std::pair<double, double>> column;
    for (std::size_t k = read; k < read + static_cast<std::size_t>(count); ++k) {
      column.emplace_back(c.row_indices[k], c.values[k]);
    }
    read += static_cast<std::size_t>(count);
    std::stable_sort(column.begin(), column.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    const std::size_t start = write;
    for (const auto& [row, value] : column) {
      if (write > start && c.row_indices[write - 1] == row) {
        c.values[write - 1] += value;
      } else {
        c.row_indices[write] = row;
        c.values[write] = value;
        ++write;
      }
    }
    count = static_cast<double>(write - start);
  }
  c.row_indices.resize(write);
  c.values.resize(write);
}

// A coordinate Matrix Market file of `entries` entries; `entry(k)` gives the k-th as
// one-based (row, column) and its value.
template <typename Entry>
std::string CoordinateText(std::int32_t n, std::size_t entries, const Entry& entry) {
  std::string text = "%%MatrixMarket matrix coordinate real general\n";
  AppendWhole(text, static_cast<std::uint64_t>(n));
  text += ' ';
  AppendWhole(text, static_cast<std::uint64_t>(n));
  text += ' ';
  AppendWhole(text, entries);
  text += '\n';
  for (std::size_t k = 0; k < entries; ++k) {
    const auto [row, column, value] = entry(k);
    AppendWhole(text, row);
    text += ' ';
    AppendWhole(text, column);
    text += ' ';
    AppendNumber(text, value);
    text += '\n';
  }
  return text;
}

// The same entries row after row, columns increasing within a row: CSR's arrays.
struct RowOrder {
  std::vector<std::int32_t> columns;  // zero-based
  std::vector<std::int32_t> indptr;
  std::vector<double> values;
};

RowOrder ByRows(const tsne_bench::Case& c) {
  RowOrder rows;
  rows.indptr.assign(static_cast<std::size_t>(c.n) + 1, 0);
  for (const double row : c.row_indices) ++rows.indptr[static_cast<std::size_t>(row)];
  for (std::size_t i = 0; i < static_cast<std::size_t>(c.n); ++i) rows.indptr[i + 1] += rows.indptr[i];
  std::vector<std::int32_t> next(rows.indptr.begin(), rows.indptr.end() - 1);
  rows.columns.resize(c.values.size());
  rows.values.resize(c.values.size());
  std::size_t at = 0;
  for (std::int32_t j = 0; j < c.n; ++j) {
    const auto count = static_cast<std::size_t>(c.column_counts[static_cast<std::size_t>(j)]);
    for (std::size_t k = at; k < at + count; ++k) {
      const auto place = static_cast<std::size_t>(next[static_cast<std::size_t>(c.row_indices[k]) - 1]++);
      rows.columns[place] = j;
      rows.values[place] = c.values[k];
    }
    at += count;
  }
  return rows;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace tsne_bench;
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s DIR N [D]\n", argv[0]);
    return 2;
  }
  const std::string dir = argv[1];
  const CaseShape shape{std::atoi(argv[2]), argc > 3 ? static_cast<std::uint32_t>(std::atoi(argv[3])) : 2u,
                        Neighbours::kNear};
  Case c = MakeCase(shape);
  Canonicalise(c);

  WriteFile(dir + "/y.npy", tsne_test::NpyArray("<f8", "(" + std::to_string(c.n) + ", " + std::to_string(c.d) + ")",
                                                tsne_test::RawBytes(c.y)));

  std::vector<std::int32_t> indices;
  std::vector<std::int32_t> indptr = {0};
  std::vector<std::int32_t> columns;  // of each entry, column after column
  for (std::int32_t j = 0; j < c.n; ++j) {
    const auto count = static_cast<std::size_t>(c.column_counts[static_cast<std::size_t>(j)]);
    for (std::size_t k = 0; k < count; ++k) {
      indices.push_back(static_cast<std::int32_t>(c.row_indices[columns.size()]) - 1);
      columns.push_back(j);
    }
    indptr.push_back(static_cast<std::int32_t>(columns.size()));
  }
  std::string text = CoordinateText(c.n, c.values.size(), [&](std::size_t k) {
    return std::tuple{static_cast<std::uint64_t>(c.row_indices[k]), static_cast<std::uint64_t>(columns[k]) + 1,
                      c.values[k]};
  });
  WriteFile(dir + "/p.mtx", text);
  WriteFile(dir + "/p.mtx.gz", tsne_test::Gzip(text, 1));
  text = std::string();
  columns = {};
  WriteFile(dir + "/p.npz", tsne_test::SparseNpz("csc", c.n, indices, indptr, c.values, true));
  WriteFile(dir + "/p_csc.npz", tsne_test::SparseNpz("csc", c.n, indices, indptr, c.values, false));
  indices = {};
  indptr = {};

  const RowOrder rows = ByRows(c);
  std::size_t row = 0;
  text = CoordinateText(c.n, rows.values.size(), [&](std::size_t k) {
    while (static_cast<std::size_t>(rows.indptr[row + 1]) <= k) ++row;
    return std::tuple{static_cast<std::uint64_t>(row) + 1, static_cast<std::uint64_t>(rows.columns[k]) + 1,
                      rows.values[k]};
  });
  WriteFile(dir + "/p_rows.mtx", text);
  text = std::string();
  WriteFile(dir + "/p_csr.npz", tsne_test::SparseNpz("csr", c.n, rows.columns, rows.indptr, rows.values, false));

  double fastest = 1e300;
  double loss = 0;
  for (int round = 0; round < 3; ++round) {
    const auto inputs = tsne_test::InputsOf(c);
    const auto start = std::chrono::steady_clock::now();
    const auto outputs = tsne_test::LossModule().Call(1, inputs.handles());
    fastest = std::min(fastest, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    loss = tsne_test::First<double>(outputs.at(0).get());
  }
  std::printf("z %.17g\nloss %.17g\nmodule_call_s %.4f\n", c.z, loss, fastest);
  return 0;
}
