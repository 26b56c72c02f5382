// What tsneloss makes of inputs written the usual ways: repeated positions, .npy
// orders and versions, standard input, single precision, losses that overflow.
#include <cmath>
#include <limits>

#include "tsneloss_fixture.hpp"

namespace tsne_test {
namespace {

const std::string kGeneral = "%%MatrixMarket matrix coordinate real general\n";
const std::string kThreePoints = "0 0\n3 4\n1 -1\n";

TEST_F(Tsneloss, RepeatedPositionsAreAddedTogether) {
  const auto y = Write("y.txt", kThreePoints);
  // (i, j, p) followed by (j, i, p), as a COO matrix built from both halves is written.
  const auto summed = Write("s.mtx", kGeneral + "3 3 4\n2 1 0.25\n3 1 0.125\n1 2 0.25\n1 3 0.375\n");
  const auto repeated = Write("r.mtx", kGeneral + "3 3 6\n1 3 0.25\n2 1 0.125\n3 1 0.125\n1 2 0.25\n1 3 0.125\n2 1 0.125\n");
  // Both triangles of a symmetric file: every position off the diagonal twice.
  const auto symmetric = Write("t.mtx", "%%MatrixMarket matrix coordinate real symmetric\n3 3 4\n"
                                        "2 1 0.125\n3 1 0.0625\n1 2 0.125\n1 3 0.125\n");
  const auto symmetric_summed = Write("u.mtx", kGeneral + "3 3 4\n2 1 0.25\n3 1 0.1875\n1 2 0.25\n1 3 0.1875\n");
  const Outcome reference = Run({"--json", "--z", "0.5", y.string(), summed.string()});
  ASSERT_EQ(reference.status, 0) << reference.err;
  EXPECT_EQ(reference.err.find("given more than once"), std::string::npos) << reference.err;
  const Outcome merged = Run({"--verbose", "--json", "--z", "0.5", y.string(), repeated.string()});
  ASSERT_EQ(merged.status, 0) << merged.err;
  EXPECT_NE(merged.err.find("note: 2 positions of P were given more than once"), std::string::npos) << merged.err;
  const auto without_count = [](const std::string& json) { return json.substr(0, json.find(", \"merged_positions\"")); };
  EXPECT_EQ(without_count(merged.out), without_count(reference.out));
  EXPECT_NE(merged.out.find("\"nnz\": 4, \"merged_positions\": 2"), std::string::npos) << merged.out;
  const Outcome both_triangles = Run({"--verbose", "--z", "0.5", y.string(), symmetric.string()});
  EXPECT_NE(both_triangles.err.find("note: 4 positions"), std::string::npos) << both_triangles.err;
  EXPECT_EQ(both_triangles.out, Run({"--z", "0.5", y.string(), symmetric_summed.string()}).out);
}

TEST_F(Tsneloss, NpyOrdersAndVersionsGiveTheCOrderBits) {
  const std::vector<double> c_order = {0.25, -1.5, 3.0, 4.125, -2.0, 0.5};
  const std::vector<double> fortran_order = {0.25, 3.0, -2.0, -1.5, 4.125, 0.5};
  const auto p = Write("p.mtx", kGeneral + "3 3 4\n2 1 0.25\n3 1 0.25\n1 3 0.25\n2 3 0.25\n");
  const Outcome reference = Run({Write("c.npy", Npy<double>(3, 2, c_order)).string(), p.string()});
  ASSERT_EQ(reference.status, 0) << reference.err;
  struct Case {
    const char* name;
    std::string file;
  };
  const Case cases[] = {
      {"Fortran order", Npy<double>(3, 2, fortran_order, true)},
      {"Fortran order, float32", Npy<float>(3, 2, std::vector<float>(fortran_order.begin(), fortran_order.end()), true)},
      {"version 2", Npy<double>(3, 2, c_order, false, 2)},
      {"version 3, Fortran order", Npy<double>(3, 2, fortran_order, true, 3)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Outcome run = Run({Write("y.npy", c.file).string(), p.string()});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, reference.out);
  }
  // Through standard input, told apart from text by its first byte.
  const Outcome piped = Run({"-", p.string()}, Write("y.npy", cases[0].file).string());
  EXPECT_EQ(piped.status, 0) << piped.err;
  EXPECT_EQ(piped.out, reference.out);
}

TEST_F(Tsneloss, EitherFileMayComeFromStandardInput) {
  const auto y = Write("y.txt", kTwoPoints);
  const auto p = Write("p.mtx", kTwoPointsP);
  const std::string expected = Run({"--z", "1", y.string(), p.string()}).out;
  EXPECT_EQ(Run({"--z", "1", "-", p.string()}, y.string()).out, expected);
  EXPECT_EQ(Run({"--z", "1", y.string(), "-"}, p.string()).out, expected);
  const Outcome both = Run({"--z", "1", "-", "-"}, y.string());
  EXPECT_EQ(both.status, 2);
  const Outcome named = Run({"--z", "1", "-", p.string()}, p.string());
  EXPECT_NE(named.err.find("standard input:1:1: this is a Matrix Market file"), std::string::npos) << named.err;
}

TEST_F(Tsneloss, SubnormalTextCoordinateIsAccepted) {
  const auto p = Write("p.mtx", kTwoPointsP);
  const Outcome run = Run({Write("y.txt", "4.9e-324 0\n3 4e-310\n").string(), p.string()});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, Run({Write("z.txt", "0 0\n3 0\n").string(), p.string()}).out);
}

// The worked example's loss, ln(13 Z), nearly vanishes for Z just above 1/13: the
// single-precision terms then carry a large relative error, which must be told.
TEST_F(Tsneloss, SinglePrecisionTellsItsDifferenceFromDouble) {
  const auto y = Write("y.txt", kTwoPoints);
  const auto p = Write("p.mtx", kTwoPointsP);
  const Outcome close = Run({"--verbose", "--single", "--z", "1", y.string(), p.string()});
  ASSERT_EQ(close.status, 0) << close.err;
  EXPECT_EQ(close.err.find("note"), std::string::npos) << close.err;
  const Outcome cancelling = Run({"--verbose", "--single", "--json", "--z", "0.0769231", y.string(), p.string()});
  ASSERT_EQ(cancelling.status, 0) << cancelling.err;
  EXPECT_NE(cancelling.err.find("note: the single-precision loss differs from the double-precision loss"),
            std::string::npos)
      << cancelling.err;
  const double in_double = std::log(13.0 * 0.0769231);
  const std::size_t at = cancelling.out.find("\"loss_double\": ");
  ASSERT_NE(at, std::string::npos) << cancelling.out;
  EXPECT_NEAR(std::strtod(cancelling.out.c_str() + at + 15, nullptr), in_double, 1e-15);
  const double in_single = std::strtod(cancelling.out.c_str() + 9, nullptr);
  EXPECT_GT(std::abs(in_single - in_double), 1e-6 * std::abs(in_double));
}

// No loss is printed that is not finite: an overflow in either precision is an error
// naming the embedding, after the lines of the embeddings before it.
TEST_F(Tsneloss, LossesThatAreNotFiniteAreRefused) {
  const auto p = Write("p.mtx", kTwoPointsP);
  const auto tiny_p = Write("t.mtx", kGeneral + "2 2 2\n2 1 4.9e-324\n1 2 4.9e-324\n");
  const struct {
    const char* name;
    std::vector<std::string> args;
    std::string says;
  } cases[] = {
      {"far apart", {"--json", "--z", "1", Write("f.txt", "0 0\n1e200 0\n").string(), p.string()},
       "f.txt: the loss is inf in double precision, which cannot hold its terms"},
      {"P and Z too small", {"--z", "1e-300", Write("n.txt", "0 0\n0 0\n").string(), tiny_p.string()},
       "n.txt: the loss is -inf in double precision"},
      {"beyond single only", {"--single", "--z", "1", Write("s.txt", "0 0\n1e20 0\n").string(), p.string()},
       "s.txt: the loss is inf in single precision"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const Outcome run = Run(c.args);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "");
    EXPECT_NE(run.err.find(c.says), std::string::npos) << run.err;
  }
  const auto y = Write("y.txt", kTwoPoints);
  const Outcome first = Run({"--z", "1", y.string(), p.string()});
  ASSERT_EQ(first.status, 0) << first.err;
  const Outcome second = Run({"--z", "1", y.string(), Write("g.txt", "0 0\n1e200 0\n").string(), p.string()});
  EXPECT_EQ(second.status, 1);
  EXPECT_EQ(second.out, first.out);
  EXPECT_NE(second.err.find("g.txt: the loss is inf"), std::string::npos) << second.err;
}

TEST_F(Tsneloss, VersionIsShown) {
  const Outcome run = Run({"--version"});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out.rfind("tsneloss ", 0), 0u) << run.out;
}

}  // namespace
}  // namespace tsne_test
