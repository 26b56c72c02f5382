// Every format tsneloss reads gives the loss bits of the text form of the same data,
// and several embeddings in one run give the lines of separate runs.
#include <map>
#include <random>

#include "sparse_files.hpp"
#include "tsneloss_fixture.hpp"

namespace tsne_test {
namespace {

const std::string kData = TSNE_TEST_DATA_DIR;

TEST_F(Tsneloss, ScipyFilesGiveTheBitsOfItsMatrixMarketText) {
  const std::string y = kData + "/scipy_y.txt";
  for (const char* precision : {"--json", "--single"}) {
    SCOPED_TRACE(precision);
    const Outcome text = Run({precision, "--z", "3", y, kData + "/scipy_p.mtx"});
    ASSERT_EQ(text.status, 0) << text.err;
    for (const char* file : {"scipy_p_dense.mtx", "scipy_p_csr.npz", "scipy_p_csc.npz", "scipy_p_coo.npz"}) {
      SCOPED_TRACE(file);
      const Outcome other = Run({precision, "--z", "3", y, kData + "/" + file});
      EXPECT_EQ(other.status, 0) << other.err;
      EXPECT_EQ(other.out, text.out);
    }
  }
}

// A random P with repeated positions, as triplets in the order written.
struct Triplets {
  int n = 0;
  std::vector<std::int32_t> rows;  // zero-based
  std::vector<std::int32_t> columns;
  std::vector<double> values;

  std::string MatrixMarket() const {
    std::string text = "%%MatrixMarket matrix coordinate real general\n" + std::to_string(n) + " " +
                       std::to_string(n) + " " + std::to_string(values.size()) + "\n";
    for (std::size_t k = 0; k < values.size(); ++k) {
      text += std::to_string(rows[k] + 1) + " " + std::to_string(columns[k] + 1) + " " + Formatted(values[k], 17);
    }
    return text;
  }
  // Compressed along `outer` (rows for csr, columns for csc), the order given kept
  // within each, as SciPy keeps it.
  std::string Compressed(const std::string& format, bool deflated) const {
    const bool by_row = format == "csr";
    std::vector<std::int32_t> indptr(n + 1, 0);
    for (std::size_t k = 0; k < values.size(); ++k) ++indptr[(by_row ? rows[k] : columns[k]) + 1];
    for (int j = 0; j < n; ++j) indptr[j + 1] += indptr[j];
    std::vector<std::int32_t> next(indptr.begin(), indptr.end() - 1);
    std::vector<std::int32_t> indices(values.size());
    std::vector<double> data(values.size());
    for (std::size_t k = 0; k < values.size(); ++k) {
      const auto at = next[by_row ? rows[k] : columns[k]]++;
      indices[at] = by_row ? columns[k] : rows[k];
      data[at] = values[k];
    }
    return SparseNpz(format, n, indices, indptr, data, deflated);
  }
  std::string Dense() const {
    std::vector<double> cells(static_cast<std::size_t>(n) * n, 0.0);
    for (std::size_t k = 0; k < values.size(); ++k) cells[static_cast<std::size_t>(columns[k]) * n + rows[k]] += values[k];
    std::string text = "%%MatrixMarket matrix array real general\n" + std::to_string(n) + " " + std::to_string(n) + "\n";
    for (const double cell : cells) text += Formatted(cell, 17);
    return text;
  }
};

Triplets RandomTriplets(int n, int entries, std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  Triplets p;
  p.n = n;
  for (int k = 0; k < entries; ++k) {
    p.rows.push_back(static_cast<std::int32_t>(rng() % n));
    p.columns.push_back(static_cast<std::int32_t>(rng() % n));
    p.values.push_back(std::uniform_real_distribution<double>(0.0, 2.0 / entries)(rng));
  }
  return p;
}

TEST_F(Tsneloss, EveryFormatGivesTheBitsOfTheText) {
  const Triplets p = RandomTriplets(9, 30, 3);
  std::string points;
  for (int i = 0; i < p.n; ++i) points += std::to_string(i * 0.75) + " " + std::to_string((i * 7 % 5) - 2.5) + "\n";
  const auto y = Write("y.txt", points);
  const Outcome text = Run({"--json", "--z", "2.5", y.string(), Write("p.mtx", p.MatrixMarket()).string()});
  ASSERT_EQ(text.status, 0) << text.err;
  // Only positions given once survive a dense file unmerged; compare the loss alone.
  const auto loss_of = [](const std::string& json) { return json.substr(0, json.find(',')); };
  const std::map<std::string, std::string> same_entries = {
      {"p.mtx.gz", Gzip(p.MatrixMarket())},
      {"csr.npz", p.Compressed("csr", true)},
      {"csc_stored.npz", p.Compressed("csc", false)},
      {"coo.npz", SparseNpz("coo", p.n, p.rows, p.columns, p.values, true)},
      {"coo_str.npz", SparseNpz("coo", p.n, p.rows, p.columns, p.values, false, true)},
      {"named.txt", p.Compressed("csr", false)},
  };
  for (const auto& [name, content] : same_entries) {
    SCOPED_TRACE(name);
    const Outcome other = Run({"--json", "--z", "2.5", y.string(), Write(name, content).string()});
    EXPECT_EQ(other.status, 0) << other.err;
    EXPECT_EQ(other.out, text.out);
  }
  const Outcome dense = Run({"--json", "--z", "2.5", y.string(), Write("dense.mtx", p.Dense()).string()});
  EXPECT_EQ(dense.status, 0) << dense.err;
  EXPECT_EQ(loss_of(dense.out), loss_of(text.out));
  const Outcome compressed_y =
      Run({"--json", "--z", "2.5", Write("y.txt.gz", Gzip(points)).string(), (dir_ / "p.mtx").string()});
  EXPECT_EQ(compressed_y.out, text.out) << compressed_y.err;
}

TEST_F(Tsneloss, SeveralEmbeddingsGiveTheLinesOfSeparateRuns) {
  const auto p = Write("p.mtx", RandomTriplets(5, 12, 8).MatrixMarket());
  const std::vector<std::string> embeddings = {
      Write("a.txt", "0 0\n1 0\n0 1\n2 2\n-1 3\n").string(),
      Write("b.npy", Npy<double>(5, 2, {0.5, 0, 1, 1, 0, 2, 3, 3, -2, 1})).string(),
      Write("c.txt", "0 0\n1 1\n2 2\n3 3\n4 4\n").string(),
  };
  for (const std::vector<std::string>& flags : {std::vector<std::string>{"--json"}, {"--single"}, {}}) {
    std::string separate;
    for (const std::string& embedding : embeddings) {
      std::vector<std::string> args = flags;
      args.insert(args.end(), {embedding, p.string()});
      separate += Run(args).out;
    }
    std::vector<std::string> args = flags;
    args.insert(args.end(), embeddings.begin(), embeddings.end());
    args.push_back(p.string());
    const Outcome together = Run(args);
    EXPECT_EQ(together.status, 0) << together.err;
    EXPECT_EQ(together.out, separate);
  }
  // One that does not fit P: the lines before it are out, then the error.
  const auto four = Write("d.txt", "0 0\n1 1\n2 2\n3 3\n");
  const Outcome stopped = Run({"--z", "1", embeddings[0], four.string(), embeddings[2], p.string()});
  EXPECT_EQ(stopped.status, 1);
  EXPECT_EQ(std::count(stopped.out.begin(), stopped.out.end(), '\n'), 1) << stopped.out;
  EXPECT_NE(stopped.err.find("P is 5 by 5, but the embedding " + four.string() + " has 4 points"), std::string::npos)
      << stopped.err;
}

TEST_F(Tsneloss, NpzFaultsAreNamedWithTheirArrayAndElement) {
  const auto y = Write("y.txt", kTwoPoints);
  struct Case {
    const char* name;
    std::string archive;
    std::string says;
  };
  const std::vector<double> half = {0.5, 0.5};
  const Case cases[] = {
      {"row outside", SparseNpz("coo", 2, {1, 2}, {0, 1}, half, false), "element 1: 'row': index 2 is outside 0 to 1"},
      {"negative value", SparseNpz("csr", 2, {1, 0}, {0, 1, 2}, {0.5, -1.0}, true), "element 1: a value of P is -1"},
      {"indptr short of data", SparseNpz("csc", 2, {1, 0}, {0, 1, 1}, half, false), "array 'indptr' ends at 1, but 'data' holds 2"},
      {"not square", SparseNpz("coo", 3, {1}, {0}, {1.0}, false), "P is 3 by 3, but the embedding"},
      {"unknown format", SparseNpz("bsr", 2, {1}, {0}, {1.0}, false), "the sparse format is 'bsr'; csr, csc or coo is needed"},
      {"no members", Zip({}, false), "the archive has no 'format' array"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Outcome run = Run({"--z", "1", y.string(), Write("p.npz", c.archive).string()});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "");
    EXPECT_NE(run.err.find("p.npz: " + c.says), std::string::npos) << run.err;
  }
  const auto fine = Write("p.npz", SparseNpz("coo", 2, {1, 0}, {0, 1}, half, false));
  const Outcome piped = Run({"--z", "1", y.string(), "-"}, fine.string());
  EXPECT_NE(piped.err.find("standard input: a .npz archive cannot be read from standard input"), std::string::npos)
      << piped.err;
}

}  // namespace
}  // namespace tsne_test
